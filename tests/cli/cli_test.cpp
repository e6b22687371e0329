// The command line as a user meets it: the built tool run in a scratch folder, checking standard
// output, exit status and the files left behind (and not left).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.hpp"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using Names = std::vector<std::string>;

const std::string kUsage =
    "tbl2tblx [-h] [-c] [-e] [-d] file...\n\t-c: base64 encoding for tblx\n"
    "\t-e: base64 encoding\n\t-d: base64 decoding\n";

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
      ASSERT_EQ(read_file(dir / "text"), system_base64(dir / "data", width))
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
  const std::string expected = system_base64(dir / "same", 76);
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

}  // namespace
