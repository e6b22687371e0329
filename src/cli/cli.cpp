#include "cli/cli.hpp"

namespace tbl2tblx {

int run_command_line(int, char**) { return 0; }

}  // namespace tbl2tblx
