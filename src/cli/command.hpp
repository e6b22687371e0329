// The command line read once into what the run is to do, and the base64 file modes that run
// from it. Nothing here but the file modes' own results reaches the console.
#pragma once

#include <span>

#include "convert/console.hpp"

namespace tbl2tblx {

enum class FileMode : std::uint8_t { kEncodeUnbroken, kEncodeLines, kDecode };

// A file mode's target. One that names a descriptor of the process, or is the very file one of
// them writes to however it is spelled, is found before the tool opens anything, so that a
// descriptor the tool opens itself is never taken for it.
struct Target {
  const char* name = nullptr;
  int descriptor = -1;  // the descriptor the name stands for; -1 for a file name
  bool open = false;    // that descriptor was open when the run started
};

struct Command {
  enum class Kind : std::uint8_t {
    kBatch,     // every argument a file to convert
    kUsage,     // "-h"
    kFileMode,  // "-c", "-e" or "-d" with a source and a target
    kNoSource,  // a file mode without its source
    kNoTarget,  // a file mode without its target
  };
  Kind kind = Kind::kBatch;
  std::span<char* const> files;  // kBatch
  FileMode mode = FileMode::kEncodeLines;
  const char* source = nullptr;
  Target target;
};

// What `argv` asks for: an option counts only as the first argument, and a file mode ignores
// the arguments after its target.
Command parse_command(int argc, char** argv);

// Streams `source` through the codec into the command's target and says how it went; 0 or 1.
int run_file_mode(const Command& command, Console& console);

}  // namespace tbl2tblx
