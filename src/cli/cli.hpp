// The command line: banner, usage, the three base64 file modes and the batch of conversions.
#pragma once

namespace tbl2tblx {

// Runs the tool on its arguments (argv[0] is the program's name) and returns the exit status.
[[nodiscard]] int run_command_line(int argc, char** argv);

}  // namespace tbl2tblx
