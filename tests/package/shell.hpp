// Running other programs from the packaging tests: a command line through the shell, its exit
// status and everything it printed.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support.hpp"

namespace package_testing {

struct ShellResult {
  int status = -1;  // exit status; 128 + n when ended by signal n
  std::string out;  // standard output and standard error together
};

// One shell word holding `text` exactly (paths convert to it too).
inline std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline ShellResult shell(const std::string& command) {
  ShellResult result;
  const std::string full = "exec 2>&1 </dev/null; " + command;
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    result.out.append(chunk, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// The folder the tool under test was built in, and a value from its CMake cache (the cmake,
// cpack and compiler the build itself used).
inline std::filesystem::path tool_build_dir() {
  return std::filesystem::path(testing_support::tool_path()).parent_path();
}

inline std::string cache_value(std::string_view key) {
  std::ifstream cache(tool_build_dir() / "CMakeCache.txt");
  for (std::string line; std::getline(cache, line);) {
    const std::size_t colon = line.find(':');
    const std::size_t equals = line.find('=');
    if (colon != std::string::npos && equals != std::string::npos && line.substr(0, colon) == key)
      return line.substr(equals + 1);
  }
  return {};
}

// The version the built tool announces in its banner: "tbl2tblx VERSION by ...".
inline std::string banner_version() {
  const std::string banner = testing_support::run_tool({}).out;
  const std::size_t start = banner.find(' ') + 1;
  return banner.substr(start, banner.find(' ', start) - start);
}

}  // namespace package_testing
