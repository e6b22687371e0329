#include "cli/command.hpp"

#include <cstring>

#include "io/io.hpp"

namespace tbl2tblx {
namespace {

bool parse_file_mode(const char* option, FileMode& mode) {
  if (std::strcmp(option, "-c") == 0) {
    mode = FileMode::kEncodeUnbroken;
  } else if (std::strcmp(option, "-e") == 0) {
    mode = FileMode::kEncodeLines;
  } else if (std::strcmp(option, "-d") == 0) {
    mode = FileMode::kDecode;
  } else {
    return false;
  }
  return true;
}

Target find_target(const char* name) {
  Target target;
  target.name = name;
  target.descriptor = named_descriptor(name);
  if (target.descriptor < 0) target.descriptor = descriptor_writing_to(name);
  target.open = descriptor_is_open(target.descriptor);
  return target;
}

}  // namespace

Command parse_command(int argc, char** argv) {
  Command command;
  const std::span<char* const> args(argv + 1, static_cast<std::size_t>(argc > 1 ? argc - 1 : 0));
  if (args.empty()) return command;
  if (std::strcmp(args[0], "-h") == 0) {
    command.kind = Command::Kind::kUsage;
    return command;
  }
  if (!parse_file_mode(args[0], command.mode)) {
    command.files = args;
    return command;
  }
  if (args.size() < 2) {
    command.kind = Command::Kind::kNoSource;
  } else if (args.size() < 3) {
    command.kind = Command::Kind::kNoTarget;
  } else {
    command.kind = Command::Kind::kFileMode;
    command.source = args[1];
    command.target = find_target(args[2]);
  }
  return command;
}

}  // namespace tbl2tblx
