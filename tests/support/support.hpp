// Helpers shared by the test programs: scratch folders, files as strings, running the built tool
// (and other programs) as a user would, and the tool's console lines. Binary tables are built
// with tables.hpp, documents with documents.hpp.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/convert.hpp"

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

// Writes `bytes` as the whole content of `path` through the tool's output file, which replaces
// the file only once it is complete; 0 or 1 as the output file reports.
int save_through_output(const std::filesystem::path& path, std::string_view bytes);

// The tool's base64 of `data` in lines of `width` characters (0: one line), and its lenient
// decoding of `text`.
std::string base64_encoded(std::string_view data, std::uint64_t width);
std::string base64_decoded(std::string_view text);

// Bytes as a string (for building binary fixtures).
std::string bytes(std::initializer_list<int> values);
// A little-endian integer of `width` bytes.
std::string le(std::uint64_t value, std::size_t width);
// `size` random bytes, the same for the same seed.
std::string random_bytes(std::size_t size, unsigned seed);

// Running programs, the built tool above all. A program starts as a shell would start it: every
// signal at its default action (SIGXFSZ and SIGPIPE included), none blocked, SOURCE_DATE_EPOCH
// unset, and no descriptor but its standard ones and those asked for here.
struct RunOptions {
  std::filesystem::path cwd;          // empty: the current folder
  bool remove_cwd = false;            // the folder is removed once the program is in it
  std::int64_t file_size_limit = -1;  // RLIMIT_FSIZE in bytes; -1: none
  std::string stdin_data;             // fed to standard input
  bool stdout_to_dev_full = false;
  bool plain = false;  // the tool: run the build without sanitizers
  // RLIMIT_AS in bytes (the plain tool only: the sanitizers reserve terabytes); -1: none. It is
  // set at the exec, so the forked test process never has to allocate under it.
  std::int64_t memory_limit = -1;
  // Descriptors opened on files in append mode (created if missing), as `N>>file` does; one
  // for 1 or 2 replaces that stream's pipe ({1, "/dev/null"} for a tool left to run).
  std::vector<std::pair<int, std::filesystem::path>> append_to;
  std::vector<std::pair<std::string, std::string>> environment;  // variables set for the run
};

struct RunResult {
  int status = -1;  // exit status; 128 + n when ended by signal n
  int signal = 0;   // the signal that ended it; 0 when it exited
  std::string out;  // standard output
  std::string err;  // standard error (a sanitizer's report in it fails the test)
};

// A program running in the background, to be interrupted or waited for.
struct Started {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;  // the test's ends of its standard streams
  std::string stdin_data;           // what finish() feeds it
};

Started start(const std::string& program, const std::vector<std::string>& args,
              const RunOptions& options = {});
// Feeds the standard input, collects standard output and error until they end, and waits.
RunResult finish(Started& started);

// The built tbl2tblx with `args` (not including the program name).
Started start_tool(const std::vector<std::string>& args, const RunOptions& options = {});
RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {});

// `command` run by /bin/sh, its standard error joined to its standard output, nothing on its
// standard input.
RunResult shell(const std::string& command, const RunOptions& options = {});
// One shell word holding `text` exactly (paths convert to it too).
std::string quote(const std::string& text);

// What the system's base64 command writes for `file` in lines of `width` characters (0: one
// line), less its final line feed (this tool writes none).
std::string system_base64(const std::filesystem::path& file, int width);

// The path of the built tool (with the sanitizers of the test build, or without) and of the
// source tree.
std::string tool_path();
std::string plain_tool_path();
std::filesystem::path source_dir();

// The fixed banner every run starts with.
std::string banner();

// The progress line after record `count` of `table`: `mark` is "+" for a table written in append
// mode, "" in overwrite mode; `total` is shown when the table's count is known (0: not).
std::string progress(std::string_view table, std::string_view mark, std::uint64_t count,
                     std::uint64_t total = 0);
// The progress lines after records 1 to `count`.
std::string progress_lines(std::string_view table, std::string_view mark, std::uint64_t count,
                           std::uint64_t total = 0);

// ---- Conversions in this process -------------------------------------------------------------

// What a conversion run in the test process said and returned. The console is a file of its
// own, so nothing of the test's own output mixes in.
struct CapturedConsole {
  std::FILE* file;
  tbl2tblx::RunContext run;
  CapturedConsole();
  ~CapturedConsole();
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;
  // What the run said so far.
  std::string text();
};

struct Converted {
  int status = 1;
  std::string console;
};

struct ConvertOptions {
  std::size_t window = tbl2tblx::kInputWindowSize;
  bool direct_reads = true;
};

// Converts `input` as the batch does, writing into `folder`, with no pause after a fallback name.
Converted convert_in_process(const std::filesystem::path& input,
                             const std::filesystem::path& folder, const ConvertOptions& options = {});

}  // namespace testing_support
