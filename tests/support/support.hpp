// Helpers shared by the test programs: scratch folders, files as strings, and running the built
// tool as a user would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
struct ScratchDir {
  std::filesystem::path path;
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::filesystem::path operator/(std::string_view name) const { return path / name; }
  // The names of the entries in the folder, sorted.
  std::vector<std::string> entries() const;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view bytes);
bool exists(const std::filesystem::path& path);

// Bytes as a string (for building binary fixtures).
std::string bytes(std::initializer_list<int> values);
// A little-endian integer of `width` bytes.
std::string le(std::uint64_t value, int width);

// The tool starts as a shell would start it: every signal at its default action (SIGXFSZ and
// SIGPIPE included), none blocked, SOURCE_DATE_EPOCH unset, and no descriptor but its standard
// ones and those asked for here.
struct RunOptions {
  std::filesystem::path cwd;             // empty: the current folder
  std::int64_t file_size_limit = -1;     // RLIMIT_FSIZE in bytes; -1: none
  std::string stdin_data;                // fed to standard input
  bool stdout_to_dev_full = false;
  bool plain = false;                    // run the build without sanitizers
  std::int64_t memory_limit = -1;        // RLIMIT_AS in bytes (plain builds only); -1: none
  // Descriptors opened on files in append mode (created if missing), as `N>>file` does; one
  // for 1 or 2 replaces that stream's pipe.
  std::vector<std::pair<int, std::filesystem::path>> append_to;
  std::vector<std::pair<std::string, std::string>> environment;  // variables set for the run
};

struct RunResult {
  int status = -1;   // exit status; 128 + n when ended by signal n
  std::string out;   // standard output
  std::string err;   // standard error (a sanitizer's report in it fails the test)
};

// Runs the built tbl2tblx with `args` (not including the program name).
RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {});

// In a forked child before exec: every signal back to its default action and none blocked, as a
// shell leaves them for the commands it starts, whatever the test process set or inherited.
void reset_signals();

// The path of the built tool (with the sanitizers of the test build, or without) and of the
// source tree.
std::string tool_path();
std::string plain_tool_path();
std::filesystem::path source_dir();

// The fixed banner every run starts with.
std::string banner();

}  // namespace testing_support
