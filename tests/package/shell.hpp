// Running other programs from the packaging tests: a command line through the shell, its exit
// status and everything it printed.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Runs `command` with /bin/sh, started as a login shell would start it: every signal at its
// default action (a shell cannot undo one ignored when it starts).
inline ShellResult shell(const std::string& command) {
  ShellResult result;
  const std::string full = "exec 2>&1 </dev/null; " + command;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    testing_support::reset_signals();
    execl("/bin/sh", "sh", "-c", full.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char chunk[4096];
  for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;)
    result.out.append(chunk, static_cast<std::size_t>(n));
  close(out[0]);
  if (pid < 0) return result;
  int status = 0;
  waitpid(pid, &status, 0);
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
