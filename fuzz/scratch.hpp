// The converters write into the current folder: fuzz targets run them in a private folder of
// their own, emptied after every input, with the console silenced, and read back what they
// wrote from there.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fuzz_support {

inline void enter_scratch_folder() {
  static const bool entered = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tbl2tblx-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) std::abort();
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return true;
  }();
  (void)entered;
}

inline void empty_scratch_folder() {
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    std::filesystem::remove_all(entry.path());
  }
}

inline void write_input(const char* name, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(name, "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

// A whole file as a string; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace fuzz_support
