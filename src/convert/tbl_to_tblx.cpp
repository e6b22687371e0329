#include "convert/convert.hpp"

namespace tbl2tblx {

int convert_tbl_to_tblx(const char*) { return 1; }

}  // namespace tbl2tblx
