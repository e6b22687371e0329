#include "convert/convert.hpp"

namespace tbl2tblx {

int convert_tblx_to_tbl(const char*) { return 1; }

}  // namespace tbl2tblx
