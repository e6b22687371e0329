// The converters write into the run's output folder: fuzz targets give them a private folder,
// emptied after every input, and a console caught in a file of its own.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "convert/convert.hpp"

namespace fuzz_support {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// The target's folder, made once per process.
inline const std::filesystem::path& scratch_folder() {
  static const std::filesystem::path folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tbl2tblx-fuzz-XXXXXX").string();
    require(mkdtemp(pattern.data()) != nullptr);
    return std::filesystem::path(pattern);
  }();
  return folder;
}

inline void empty_scratch_folder() {
  for (const auto& entry : std::filesystem::directory_iterator(scratch_folder())) {
    std::filesystem::remove_all(entry.path());
  }
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Writes `name` in the scratch folder and returns its path.
inline std::string write_input(const std::string& name, const std::uint8_t* data,
                               std::size_t size) {
  const std::string path = (scratch_folder() / name).string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  require(file != nullptr);
  require(size == 0 || std::fwrite(data, 1, size, file) == size);
  std::fclose(file);
  return path;
}

// A run that writes into the scratch folder, through a window of `window` bytes, with its
// console caught in a file and no pause after a time-stamped name (a fuzzer runs millions of
// inputs).
struct CaughtRun {
  std::FILE* file = std::tmpfile();
  tbl2tblx::RunContext run;

  explicit CaughtRun(std::size_t window) {
    require(file != nullptr);
    run.console = tbl2tblx::console_on(fileno(file));
    run.window = window;
    run.fallback_pause = std::chrono::milliseconds(0);
    run.output_folder = scratch_folder().string();
  }
  ~CaughtRun() { std::fclose(file); }
  CaughtRun(const CaughtRun&) = delete;
  CaughtRun& operator=(const CaughtRun&) = delete;

  // What the run said.
  std::string console() {
    require(tbl2tblx::console_flush(run.console) == 0);
    std::rewind(file);
    std::string said;
    char piece[4096];
    for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, file)) > 0;)
      said.append(piece, n);
    return said;
  }
};

}  // namespace fuzz_support
