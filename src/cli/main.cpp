#include "cli/cli.hpp"

int main(int argc, char** argv) {
  return tbl2tblx::run_command_line(argc, argv);
}
