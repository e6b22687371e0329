#include "support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "formats/formats.hpp"

namespace fs = std::filesystem;

namespace testing_support {

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "tbl2tblx-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Make everything removable again (tests may take permissions away).
  for (auto& entry : fs::recursive_directory_iterator(path, ignored)) {
    if (entry.is_directory(ignored)) fs::permissions(entry.path(), fs::perms::owner_all, ignored);
  }
  fs::permissions(path, fs::perms::owner_all, ignored);
  fs::remove_all(path, ignored);
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (auto& entry : fs::directory_iterator(path))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

std::string bytes(std::initializer_list<int> values) {
  std::string result;
  for (int value : values)
    result.push_back(static_cast<char>(value));
  return result;
}

std::string le(std::uint64_t value, int width) {
  std::string result;
  for (int i = 0; i < width; ++i)
    result.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return result;
}

std::string tool_path() {
  return TBL2TBLX_BINARY;
}
std::string plain_tool_path() {
  return TBL2TBLX_PLAIN_BINARY;
}
fs::path source_dir() {
  return TBL2TBLX_SOURCE_DIR;
}

std::string banner() {
  return "tbl2tblx " + std::string(tbl2tblx::kToolVersion) + " by " +
         std::string(tbl2tblx::kAuthorCredit) + "\n" + std::string(tbl2tblx::kWebAddress) + "\n\n";
}

namespace {

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Runs in the forked child: nothing here may allocate once the address-space limit is set.
[[noreturn]] void exec_child(const std::string& program, char* const* argv,
                             const RunOptions& options, int stdin_fd, int stdout_fd) {
  dup2(stdin_fd, 0);
  dup2(stdout_fd, 1);
  if (options.stdout_to_dev_full) {
    int full = open("/dev/full", O_WRONLY);
    if (full >= 0) dup2(full, 1);
  }
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  if (options.file_size_limit >= 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                 static_cast<rlim_t>(options.file_size_limit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  // Every run is also a leak check: the sanitizers' leak report fails it.
  setenv("ASAN_OPTIONS", "detect_leaks=1:exitcode=86", 1);
  if (options.memory_limit >= 0) {
    rlimit limit{static_cast<rlim_t>(options.memory_limit),
                 static_cast<rlim_t>(options.memory_limit)};
    setrlimit(RLIMIT_AS, &limit);
  }
  execv(program.c_str(), argv);
  _exit(127);
}

}  // namespace

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options) {
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  std::string program = options.plain ? plain_tool_path() : tool_path();
  std::vector<char*> argv;
  argv.push_back(program.data());
  for (auto& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    exec_child(program, argv.data(), options, in_pipe[0], out_pipe[1]);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  write_all(in_pipe[1], options.stdin_data);
  close(in_pipe[1]);
  RunResult result;
  char chunk[65536];
  for (;;) {
    ssize_t n = read(out_pipe[0], chunk, sizeof chunk);
    if (n <= 0) break;
    result.out.append(chunk, static_cast<std::size_t>(n));
  }
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace testing_support
