// The command line as a user meets it: the built tool run in a scratch folder, checking standard
// output, exit status and the files left behind (and not left).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using Names = std::vector<std::string>;

const std::string kUsage =
    "tbl2tblx [-h] [-c] [-e] [-d] file...\n\t-c: base64 encoding for tblx\n"
    "\t-e: base64 encoding\n\t-d: base64 decoding\n";

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string data(size, '\0');
  for (char& c : data)
    c = static_cast<char>(generator() & 0xFF);
  return data;
}

// What GNU coreutils writes, less its final line feed (this tool writes none).
std::string coreutils_base64(const fs::path& file, int width) {
  const std::string command = "base64 -w " + std::to_string(width) + " " + file.string();
  std::FILE* pipe = popen(command.c_str(), "r");
  std::string text;
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    text.append(chunk, n);
  pclose(pipe);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::string expected_out;  // after the banner
  int expected_status;
  Names expected_files;  // the scratch folder afterwards (starts with "in" only)
};

TEST(CommandLine, OptionsMessagesAndStatuses) {
  const std::string in = "hello";
  const std::vector<Case> cases = {
      {"no arguments", {}, "", 0, {"in"}},
      {"usage", {"-h", "in", "x"}, kUsage, 0, {"in"}},
      {"not an option: -H", {"-H"}, "", 0, {"in"}},
      {"not an option: --help", {"--help", "in"}, "", 0, {"in"}},
      {"not an option: -cx", {"-cx", "in", "out"}, "", 0, {"in"}},
      {"-e alone", {"-e"}, "source file required\n", 1, {"in"}},
      {"-d alone", {"-d"}, "source file required\n", 1, {"in"}},
      {"-c without target", {"-c", "in"}, "target file required\n", 1, {"in"}},
      {"missing source", {"-e", "nope", "out"}, "nope: Cannot read the file\n", 1, {"in"}},
      {"source is a folder", {"-d", ".", "out"}, ".: Cannot read the file\n", 1, {"in"}},
      {"target folder missing",
       {"-e", "in", "no/out"},
       "no/out: Cannot write the file\n",
       1,
       {"in"}},
      {"folder is a file", {"-c", "in", "in/out"}, "in/out: Cannot write the file\n", 1, {"in"}},
      {"extra arguments ignored",
       {"-c", "in", "out", "more"},
       "out: Encoding OK\n",
       0,
       {"in", "out"}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    write_file(dir / "in", in);
    RunResult result = run_tool(c.args, {.cwd = dir.path});
    EXPECT_EQ(result.out, banner() + c.expected_out) << c.name;
    EXPECT_EQ(result.status, c.expected_status) << c.name;
    EXPECT_EQ(dir.entries(), c.expected_files) << c.name;
  }
}

TEST(CommandLine, EncodesLikeCoreutilsAndDecodesBack) {
  // Sizes around line and group boundaries, and past the tool's internal chunk of 933,888 bytes.
  for (std::size_t size :
       {1u, 2u, 3u, 56u, 57u, 58u, 114u, 1000u, 933887u, 933888u, 933889u, 2500001u}) {
    ScratchDir dir;
    const std::string data = random_bytes(size, static_cast<unsigned>(size));
    write_file(dir / "data", data);
    for (auto [option, width] : {std::pair{"-e", 76}, std::pair{"-c", 0}}) {
      RunResult encoded = run_tool({option, "data", "text"}, {.cwd = dir.path});
      ASSERT_EQ(encoded.out, banner() + "text: Encoding OK\n") << size;
      ASSERT_EQ(read_file(dir / "text"), coreutils_base64(dir / "data", width))
          << option << " " << size;
      RunResult decoded = run_tool({"-d", "text", "back"}, {.cwd = dir.path});
      ASSERT_EQ(decoded.out, banner() + "back: Decoding OK\n");
      ASSERT_EQ(read_file(dir / "back"), data) << option << " " << size;
    }
  }
}

TEST(CommandLine, LineWidthsAndTheSmallestInputs) {
  ScratchDir dir;
  write_file(dir / "57", std::string(57, 'x'));
  write_file(dir / "58", std::string(58, 'x'));
  write_file(dir / "abc", "abc");
  run_tool({"-e", "57", "57.b64"}, {.cwd = dir.path});
  run_tool({"-e", "58", "58.b64"}, {.cwd = dir.path});
  run_tool({"-c", "abc", "abc.b64"}, {.cwd = dir.path});
  EXPECT_EQ(read_file(dir / "57.b64").size(), 76u);
  const std::string lines = read_file(dir / "58.b64");
  EXPECT_EQ(lines.size(), 81u);
  EXPECT_EQ(lines.find('\n'), 76u);
  EXPECT_EQ(read_file(dir / "abc.b64"), "YWJj");
}

TEST(CommandLine, DecodingIsLenient) {
  ScratchDir dir;
  write_file(dir / "wrapped", "YW\r\nJj\r\n");
  write_file(dir / "noise", "Y\xe9W !J\tj");
  write_file(dir / "padded", "YQ==YWJj");
  write_file(dir / "blank", " \r\n\t");
  EXPECT_EQ(run_tool({"-d", "wrapped", "a"}, {.cwd = dir.path}).status, 0);
  EXPECT_EQ(read_file(dir / "a"), "abc");
  EXPECT_EQ(run_tool({"-d", "noise", "b"}, {.cwd = dir.path}).status, 0);
  EXPECT_EQ(read_file(dir / "b"), "abc");
  EXPECT_EQ(run_tool({"-d", "padded", "c"}, {.cwd = dir.path}).status, 0);
  EXPECT_EQ(read_file(dir / "c"), "a");
  // Nothing decoded is nothing to save: no file is made.
  RunResult blank = run_tool({"-d", "blank", "d"}, {.cwd = dir.path});
  EXPECT_EQ(blank.out, banner() + "d: Cannot write the file\n");
  EXPECT_EQ(blank.status, 1);
  EXPECT_FALSE(testing_support::exists(dir / "d"));
}

TEST(CommandLine, EmptySourcesAreRefusedAndNoTargetIsMade) {
  ScratchDir dir;
  write_file(dir / "empty", "");
  write_file(dir / "out", "earlier");
  for (auto [option, message] : {std::pair{"-e", "empty: Cannot encode the file\n"},
                                 std::pair{"-c", "empty: Cannot encode the file\n"},
                                 std::pair{"-d", "empty: Cannot decode the file\n"}}) {
    RunResult result = run_tool({option, "empty", "out"}, {.cwd = dir.path});
    EXPECT_EQ(result.out, banner() + message);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "out"), "earlier");
  }
  EXPECT_EQ(dir.entries(), (Names{"empty", "out"}));
}

TEST(CommandLine, SourceAndTargetMayBeTheSameFile) {
  ScratchDir dir;
  const std::string data = random_bytes(3000000, 7);
  write_file(dir / "same", data);
  const std::string expected = coreutils_base64(dir / "same", 76);
  ASSERT_EQ(run_tool({"-e", "same", "same"}, {.cwd = dir.path}).status, 0);
  EXPECT_EQ(read_file(dir / "same"), expected);
  ASSERT_EQ(run_tool({"-d", "same", "same"}, {.cwd = dir.path}).status, 0);
  EXPECT_EQ(read_file(dir / "same"), data);
  EXPECT_EQ(dir.entries(), Names{"same"});
}

TEST(CommandLine, ReadsStandardInputAndWritesStandardOutput) {
  ScratchDir dir;
  RunResult piped =
      run_tool({"-d", "/dev/stdin", "out.bin"}, {.cwd = dir.path, .stdin_data = "YWJj"});
  EXPECT_EQ(piped.out, banner() + "out.bin: Decoding OK\n");
  EXPECT_EQ(read_file(dir / "out.bin"), "abc");
  RunResult to_stdout = run_tool({"-c", "out.bin", "/dev/stdout"}, {.cwd = dir.path});
  EXPECT_EQ(to_stdout.out, "YWJj");
  EXPECT_EQ(to_stdout.err, banner() + "/dev/stdout: Encoding OK\n");
  EXPECT_EQ(to_stdout.status, 0);
}

TEST(CommandLine, AShortWriteKeepsTheEarlierTargetAndLeavesNoTemporaryFile) {
  ScratchDir dir;
  write_file(dir / "data", random_bytes(200000, 3));
  write_file(dir / "out", "earlier");
  // The limit lets the tool write some of its output and then refuses the rest.
  for (std::int64_t limit : {0, 1000, 150000}) {
    RunResult result = run_tool({"-e", "data", "out"}, {.cwd = dir.path, .file_size_limit = limit});
    EXPECT_EQ(result.out, banner() + "out: Cannot write the file\n") << limit;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "out"), "earlier");
    EXPECT_EQ(dir.entries(), (Names{"data", "out"}));
  }
}

TEST(CommandLine, AFolderThatCannotBeWrittenIsReported) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  ScratchDir dir;
  fs::create_directory(dir / "locked");
  write_file(dir / "data", "abc");
  fs::permissions(dir / "locked", fs::perms(0500));
  RunResult result = run_tool({"-c", "data", "locked/out"}, {.cwd = dir.path});
  EXPECT_EQ(result.out, banner() + "locked/out: Cannot write the file\n");
  EXPECT_EQ(result.status, 1);
}

TEST(CommandLine, AFailingStandardOutputNeitherCrashesNorLosesTheResult) {
  ScratchDir dir;
  write_file(dir / "data", "abc");
  RunResult result = run_tool({"-c", "data", "out"}, {.cwd = dir.path, .stdout_to_dev_full = true});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "tbl2tblx: cannot write to standard output\n");
  EXPECT_EQ(read_file(dir / "out"), "YWJj");
}

// An interrupt while the target is being written: the earlier target stays and no temporary
// file remains. A FIFO as the source holds the tool in the middle of its work.
TEST(CommandLine, InterruptsRemoveTheTemporaryFile) {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    ScratchDir dir;
    write_file(dir / "out", "earlier");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    pid_t tool = fork();
    if (tool == 0) {
      if (chdir(dir.path.c_str()) != 0) _exit(126);
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      reset_signals();
      execl(tool_path().c_str(), "tbl2tblx", "-e", "fifo", "out", static_cast<char*>(nullptr));
      _exit(127);
    }
    int feed = open((dir / "fifo").c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    // More than the tool reads at once: it starts its output, then waits for the rest.
    const std::string some(1200000, 'x');
    for (std::size_t done = 0; done < some.size();) {
      ssize_t n = write(feed, some.data() + done, some.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
    // Wait until the temporary file exists, then interrupt.
    for (int i = 0; i < 500 && dir.entries().size() < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(dir.entries().size(), 3u);
    kill(tool, signal_number);
    int status = 0;
    waitpid(tool, &status, 0);
    close(feed);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
    EXPECT_EQ(dir.entries(), (Names{"fifo", "out"}));
    EXPECT_EQ(read_file(dir / "out"), "earlier");
  }
}

}  // namespace
