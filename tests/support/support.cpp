#include "support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "base64/base64.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"

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

int save_through_output(const fs::path& path, std::string_view bytes) {
  tbl2tblx::OutputFile out;
  if (tbl2tblx::output_open(out, path.c_str()) != 0) return 1;
  if (tbl2tblx::output_write(out, bytes) != 0) return 1;
  return tbl2tblx::output_commit(out);
}

std::string base64_encoded(std::string_view data, std::uint64_t width) {
  std::string text(tbl2tblx::base64_encoded_size(data.size(), width), '\0');
  const std::size_t length = tbl2tblx::base64_encode_into(
      {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()}, text.data(), width);
  EXPECT_EQ(length, text.size());
  return text;
}

std::string base64_decoded(std::string_view text) {
  std::string bytes(text);
  const std::size_t length = tbl2tblx::base64_decode_into(
      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()},
      reinterpret_cast<std::uint8_t*>(bytes.data()));
  bytes.resize(length);
  return bytes;
}

std::string bytes(std::initializer_list<int> values) {
  std::string result;
  for (int value : values)
    result.push_back(static_cast<char>(value));
  return result;
}

std::string le(std::uint64_t value, std::size_t width) {
  std::string result;
  for (std::size_t i = 0; i < width; ++i)
    result.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return result;
}

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string data(size, '\0');
  for (char& c : data)
    c = static_cast<char>(generator() & 0xFF);
  return data;
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

// The line is rewritten in place: it starts by backing over the width of a console line.
constexpr std::size_t kProgressBackspaces = 80;

std::string progress(std::string_view table, std::string_view mark, std::uint64_t count,
                     std::uint64_t total) {
  std::string line = std::string(kProgressBackspaces, '\b') + "\t" + std::string(table) + ": " +
                     std::string(mark) + std::to_string(count);
  if (total > 0) line.append("/").append(std::to_string(total));
  return line + " ";
}

CapturedConsole::CapturedConsole() : file(std::tmpfile()) {
  if (file == nullptr) throw std::runtime_error("tmpfile failed");
  run.console = tbl2tblx::console_on(fileno(file));
  run.fallback_pause = std::chrono::milliseconds(0);
}

CapturedConsole::~CapturedConsole() {
  std::fclose(file);
}

std::string CapturedConsole::text() {
  (void)tbl2tblx::console_flush(run.console);
  std::string said;
  char piece[4096];
  std::rewind(file);
  for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, file)) > 0;)
    said.append(piece, n);
  return said;
}

Converted convert_in_process(const fs::path& input, const fs::path& folder,
                             const ConvertOptions& options) {
  CapturedConsole console;
  console.run.window = options.window;
  console.run.output_folder = folder.string();
  console.run.direct_reads = options.direct_reads;
  Converted converted;
  switch (tbl2tblx::direction_of(input.string())) {
    case tbl2tblx::Direction::kToDocument:
      converted.status = tbl2tblx::convert_tbl_to_tblx(input.c_str(), console.run);
      break;
    case tbl2tblx::Direction::kToTables:
      converted.status = tbl2tblx::convert_tblx_to_tbl(input.c_str(), console.run);
      break;
    case tbl2tblx::Direction::kSkip:
      converted.status = 0;
      break;
  }
  converted.console = console.text();
  return converted;
}

std::string progress_lines(std::string_view table, std::string_view mark, std::uint64_t count,
                           std::uint64_t total) {
  std::string lines;
  for (std::uint64_t n = 1; n <= count; ++n)
    lines += progress(table, mark, n, total);
  return lines;
}

namespace {

// In the forked child before exec: every signal back to its default action and none blocked, as
// a shell leaves them for the commands it starts, whatever the test process set or inherited.
void reset_signals() {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  // SIGKILL, SIGSTOP and the C library's own signals refuse; they need nothing.
  for (int signal_number = 1; signal_number < NSIG; ++signal_number)
    sigaction(signal_number, &default_action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

void set_limit(int resource, std::int64_t bytes) {
  if (bytes < 0) return;
  const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
  setrlimit(resource, &limit);
}

// Runs in the forked child: nothing here may allocate once the address-space limit is set.
[[noreturn]] void exec_child(const std::string& program, char* const* argv,
                             const RunOptions& options, const int (&streams)[3]) {
  for (int fd = 0; fd < 3; ++fd)
    dup2(streams[fd], fd);
  // Descriptors the test process holds (its pipes, whatever it inherited) stay out of the program.
  close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
  if (options.stdout_to_dev_full) {
    int full = open("/dev/full", O_WRONLY);
    if (full >= 0) dup2(full, 1);
  }
  for (const auto& [fd, path] : options.append_to) {
    const int opened = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (opened < 0 || dup2(opened, fd) < 0) _exit(126);
    if (opened != fd) close(opened);
  }
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  if (options.remove_cwd && rmdir(options.cwd.c_str()) != 0) _exit(126);
  reset_signals();
  set_limit(RLIMIT_FSIZE, options.file_size_limit);
  // Every run is also a leak check: the sanitizers' leak report fails it.
  setenv("ASAN_OPTIONS", "detect_leaks=1:exitcode=86", 1);
  unsetenv("SOURCE_DATE_EPOCH");
  for (const auto& [name, value] : options.environment)
    setenv(name.c_str(), value.c_str(), 1);
  set_limit(RLIMIT_AS, options.memory_limit);
  execv(program.c_str(), argv);
  _exit(127);
}

// Feeds `input` to `to` while collecting everything from `out` and `err`, until both end.
void exchange(int to, std::string_view input, int out, std::string& out_text, int err,
              std::string& err_text) {
  if (input.empty() && to >= 0) {
    close(to);
    to = -1;
  }
  char chunk[65536];
  while (out >= 0 || err >= 0) {
    pollfd fds[3] = {{to, POLLOUT, 0}, {out, POLLIN, 0}, {err, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) continue;
    if (fds[0].revents != 0) {
      const ssize_t n = ::write(to, input.data(), input.size());
      if (n > 0) input.remove_prefix(static_cast<std::size_t>(n));
      if (n <= 0 || input.empty()) {
        close(to);
        to = -1;
      }
    }
    for (auto [index, fd, text] :
         {std::tuple{1, &out, &out_text}, std::tuple{2, &err, &err_text}}) {
      if (fds[index].revents == 0) continue;
      const ssize_t n = read(*fd, chunk, sizeof chunk);
      if (n > 0) {
        text->append(chunk, static_cast<std::size_t>(n));
      } else {
        close(*fd);
        *fd = -1;
      }
    }
  }
  if (to >= 0) close(to);
}

}  // namespace

Started start(const std::string& program, const std::vector<std::string>& args,
              const RunOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (auto& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) exec_child(program, argv.data(), options, {in_pipe[0], out_pipe[1], err_pipe[1]});
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  return {pid, in_pipe[1], out_pipe[0], err_pipe[0], options.stdin_data};
}

RunResult finish(Started& started) {
  RunResult result;
  exchange(started.in, started.stdin_data, started.out, result.out, started.err, result.err);
  started.in = started.out = started.err = -1;
  int status = 0;
  waitpid(started.pid, &status, 0);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + result.signal;
  if (result.err.find("Sanitizer") != std::string::npos ||
      result.err.find("runtime error") != std::string::npos) {
    ADD_FAILURE() << "standard error:\n" << result.err;
  }
  return result;
}

Started start_tool(const std::vector<std::string>& args, const RunOptions& options) {
  return start(options.plain ? plain_tool_path() : tool_path(), args, options);
}

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options) {
  Started tool = start_tool(args, options);
  return finish(tool);
}

RunResult shell(const std::string& command, const RunOptions& options) {
  Started sh = start("/bin/sh", {"-c", "exec 2>&1 </dev/null; " + command}, options);
  return finish(sh);
}

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string system_base64(const fs::path& file, int width) {
  std::string text = shell("base64 -w " + std::to_string(width) + " " + quote(file)).out;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace testing_support
