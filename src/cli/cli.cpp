#include "cli/cli.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "cli/command.hpp"
#include "convert/convert.hpp"
#include "convert/messages.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"

namespace tbl2tblx {
namespace {

void print_banner(Console& console) {
  say(console, kMessageBanner, static_cast<int>(kToolVersion.size()), kToolVersion.data(),
      static_cast<int>(kAuthorCredit.size()), kAuthorCredit.data(),
      static_cast<int>(kWebAddress.size()), kWebAddress.data());
}

// Every file in order, in the direction its name says (a name that says none is skipped, which
// is no failure); 1 when any conversion failed.
int run_batch(std::span<char* const> files, RunContext& run) {
  int status = 0;
  for (const char* file : files) {
    switch (direction_of(file)) {
      case Direction::kToDocument:
        status |= convert_tbl_to_tblx(file, run);
        break;
      case Direction::kToTables:
        status |= convert_tblx_to_tbl(file, run);
        break;
      case Direction::kSkip:
        break;
    }
  }
  return status;
}

int run(const Command& command, RunContext& run) {
  switch (command.kind) {
    case Command::Kind::kBatch:
      return run_batch(command.files, run);
    case Command::Kind::kUsage:
      say(run.console, "%s", kMessageUsage);
      return 0;
    case Command::Kind::kFileMode:
      return run_file_mode(command, run.console);
    case Command::Kind::kNoSource:
      say(run.console, "%s", kMessageSourceRequired);
      return 1;
    case Command::Kind::kNoTarget:
      say(run.console, "%s", kMessageTargetRequired);
      return 1;
  }
  return 1;
}

}  // namespace

int run_command_line(int argc, char** argv) {
  // A reader that goes away, or a file-size limit, must not kill a conversion halfway: the
  // write at hand fails instead, like one to a full disk, and the output is discarded.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  // The command is read first: a target naming a closed descriptor is found closed.
  const Command command = parse_command(argc, argv);
  const StandardDescriptors standard = fill_closed_standard_descriptors();
  // Messages and progress lines go to standard output, unless it carries a file mode's result:
  // then all of them go to standard error, so that the data comes alone.
  const int console_fd = command.target.descriptor == STDOUT_FILENO ? STDERR_FILENO : STDOUT_FILENO;
  RunContext context;
  context.console = console_on(console_fd);
  // A closed standard output takes nothing, as before: the run fails at its end.
  if (standard.closed[console_fd]) context.console.failed = true;
  print_banner(context.console);
  int status = run(command, context);
  // Standard output is the tool's output too: a failure to write it fails the run.
  if (console_flush(context.console) != 0 && console_fd == STDOUT_FILENO) {
    (void)write_all(STDERR_FILENO, kMessageStdoutFailed, std::strlen(kMessageStdoutFailed));
    status = 1;
  }
  return status;
}

}  // namespace tbl2tblx
