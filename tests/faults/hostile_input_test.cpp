// Hostile starts and inputs, end to end: standard descriptors closed at start, tables whose
// counts or sources would take unbounded memory, group names that repeat, names that would
// command a terminal, targets spelled as another name of an open descriptor or looping links,
// and dates past what a document shows. The tool runs as a shell starts it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "documents.hpp"
#include "formats/formats.hpp"
#include "support.hpp"
#include "tables.hpp"

namespace fs = std::filesystem;
using namespace testing_support;
using tbl2tblx::kString;

namespace {

using Names = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMiB = std::int64_t{1} << 20;
const std::pair<std::string, std::string> kFixedDate = {"SOURCE_DATE_EPOCH", "86400"};
const std::string kStdoutFailed = "tbl2tblx: cannot write to standard output\n";

// ---- Closed standard descriptors -------------------------------------------------------------

// Each run in every combination of closed standard input, output and error. The files are
// those of a run with all three open; a closed standard output fails the run with its line on
// standard error (when that is open), and nothing the tool says lands in a file it writes.
TEST(ClosedStandardDescriptors, EveryCombinationWritesTheRightFiles) {
  ScratchDir reference;
  write_file(reference / "phone.tbl", phone_table());
  ASSERT_EQ(run_tool({"phone.tbl"}, {.cwd = reference.path, .environment = {kFixedDate}}).status,
            0);
  const std::string document = read_file(reference / "phone.tblx");
  struct Run {
    Names args;
    std::string source, source_bytes, output, output_bytes;
  } runs[] = {
      {{"phone.tbl"}, "phone.tbl", phone_table(), "phone.tblx", document},
      {{"phone.tblx"}, "phone.tblx", document, "phone.tbl", phone_table()},
      {{"-e", "data", "data.b64"}, "data", "abc", "data.b64", "YWJj"},
  };
  for (const Run& r : runs) {
    for (int closed = 0; closed < 8; ++closed) {
      const bool in = closed & 1, out = closed & 2, err = closed & 4;
      SCOPED_TRACE(r.args.front() + " closed:" + (in ? " 0" : "") + (out ? " 1" : "") +
                   (err ? " 2" : ""));
      ScratchDir dir;
      write_file(dir / r.source, r.source_bytes);
      write_file(dir / r.output, "earlier");
      std::string command = quote(tool_path());
      for (const std::string& arg : r.args)
        command += " " + arg;
      command += in ? " <&-" : " </dev/null";
      command += out ? " >&-" : " >out.txt";
      command += err ? " 2>&-" : " 2>err.txt";
      const RunResult run =
          shell(command + "; echo $? >status.txt", {.cwd = dir.path, .environment = {kFixedDate}});
      EXPECT_EQ(read_file(dir / "status.txt"), out ? "1\n" : "0\n");
      EXPECT_EQ(read_file(dir / r.output), r.output_bytes);
      if (!err) {
        EXPECT_EQ(read_file(dir / "err.txt"), out ? kStdoutFailed : "");
      }
      if (!out) {
        EXPECT_TRUE(read_file(dir / "out.txt").starts_with(banner()));
      }
      EXPECT_EQ(run.out, "");
    }
  }
}

// A file mode whose target is a standard descriptor that is closed cannot write it: it never
// writes into a file it opened itself under that number.
TEST(ClosedStandardDescriptors, AClosedTargetDescriptorCannotBeWritten) {
  ScratchDir dir;
  write_file(dir / "data", "abc");
  const RunResult run = shell(quote(tool_path()) + " -e data /dev/stdout >&-", {.cwd = dir.path});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, banner() + "/dev/stdout: Cannot write the file\n");
  EXPECT_EQ(dir.entries(), (Names{"data"}));
}

// ---- Memory bounded by the format ------------------------------------------------------------

// A table of `ninfo` string fields named "field", skeyid 1, no groups and no records.
std::string wide_table(std::uint32_t ninfo) {
  std::string table = file_header() + padded("wide", tbl2tblx::kTableNameWidth) + le(ninfo, 4);
  const std::string info = fieldinfo(1, "field", kString);
  table.reserve(table.size() + std::size_t{ninfo} * info.size() + 8);
  for (std::uint32_t i = 0; i < ninfo; ++i)
    table += info;
  return table + bytes({1, 0}) + le(0, 4);
}

// Feeds `bytes` into the FIFO `path` from a thread of its own while the tool reads it.
struct Feeder {
  std::thread thread;
  Feeder(const fs::path& path, const std::string& bytes) {
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    thread = std::thread([path, &bytes] {
      std::ofstream into(path, std::ios::binary);
      into.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    });
  }
  ~Feeder() { thread.join(); }
};

// A schema of three million fields (69 MB) from a file, and of a million through a FIFO, is
// converted by the plain tool within 64 MiB of address space: the skeyid that follows the
// field infos is looked up by position in a file, and a pipe's field infos wait on disk. The
// documents are the same either way.
TEST(BoundedMemory, WideSchemasFromFilesAndPipesConvert) {
  const RunOptions bounded = {
      .plain = true, .memory_limit = 64 * kMiB, .environment = {kFixedDate}};
  ScratchDir file, piped;
  const std::string three_million = wide_table(3'000'000);
  write_file(file / "wide.tbl", three_million);
  RunOptions options = bounded;
  options.cwd = file.path;
  RunResult run = run_tool({"wide.tbl"}, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, banner() + "wide.tbl => wide.tblx...\n\n");
  const std::string document = read_file(file / "wide.tblx");
  EXPECT_NE(document.find("<skeyid>1</skeyid>"), std::string::npos);

  const std::string one_million = wide_table(1'000'000);
  write_file(file / "wide.tbl", one_million);
  ASSERT_EQ(run_tool({"wide.tbl"}, options).status, 0);
  options.cwd = piped.path;
  {
    const Feeder feeder(piped / "wide.tbl", one_million);
    run = run_tool({"wide.tbl"}, options);
  }
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(piped / "wide.tblx"), read_file(file / "wide.tblx"));
}

// A count of 0xFFFFFFFF fields followed by 100 MiB of zeros through a pipe, and a table that is
// a link to /dev/urandom, fail within 64 MiB of address space, the device at once. The earlier
// document stays.
TEST(BoundedMemory, FalseCountsAndEndlessDevicesFailInBoundedMemory) {
  ScratchDir dir;
  write_file(dir / "p.tblx", "earlier");
  write_file(dir / "u.tblx", "earlier");
  const std::string false_count = file_header() + padded("t", tbl2tblx::kTableNameWidth) +
                                  le(0xFFFFFFFF, 4) + std::string(100 * kMiB, '\0');
  const RunOptions bounded = {.cwd = dir.path, .plain = true, .memory_limit = 64 * kMiB};
  RunResult run;
  {
    const Feeder feeder(dir / "p.tbl", false_count);
    run = run_tool({"p.tbl"}, bounded);
  }
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, banner() + "p.tbl => p.tblx...\nWarning: EOF mismatched\n");

  fs::create_symlink("/dev/urandom", dir / "u.tbl");
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    run = run_tool({"u.tbl"}, bounded);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(std::regex_match(
        run.out, std::regex(banner() + "u\\.tbl => u\\.tblx\\.\\.\\.\n" +
                            "u\\.tbl: (Cannot read the file|Damaged table file)\n")))
        << run.out;
  }
  EXPECT_EQ(read_file(dir / "p.tblx"), "earlier");
  EXPECT_EQ(read_file(dir / "u.tblx"), "earlier");
}

// ---- Repeated group names --------------------------------------------------------------------

// A document names a record's group by its name: a binary table whose group names repeat cannot
// be carried and is refused as damaged; a document that names a group twice is refused at the
// second group.
TEST(RepeatedGroupNames, AreRefusedInBothDirections) {
  ScratchDir dir;
  Table twice = phone();
  twice.groups = {"g", "h", "g"};
  twice.records[0].group = 2;
  write_file(dir / "twice.tbl", encode(twice));
  RunResult run = run_tool({"twice.tbl"}, {.cwd = dir.path});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, banner() + "twice.tbl => twice.tblx...\ntwice.tbl: Damaged table file\n");

  const std::string body =
      "<groups><group>g</group>\n<group>h</group>\n<group>g</group>\n"
      "</groups><records></records>";
  write_file(dir / "groups.tblx",
             document(table_element("t", fieldinfo_element(1, "f", "string"), body)));
  run = run_tool({"groups.tblx"}, {.cwd = dir.path});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, banner() + "groups.tblx =>\n\tt.tbl...\nError: <group> at line 7\n");
  EXPECT_EQ(dir.entries(), (Names{"groups.tblx", "twice.tbl"}));
}

// ---- The console on a terminal ---------------------------------------------------------------

// `command` run on a terminal (a pseudo-terminal of `script`), what it showed with the
// terminal's CR LF line ends made LF again.
std::string on_terminal(const std::string& command, const fs::path& cwd) {
  std::string shown = shell("script -qec " + quote(command) + " /dev/null", {.cwd = cwd}).out;
  return std::regex_replace(shown, std::regex("\r\n"), "\n");
}

// A name that would retitle the window or clear it is shown escaped on a terminal, as `ls -b`
// shows it; the same run into a pipe or a file gives the bytes as they are.
TEST(Console, ControlCharactersOfNamesAreEscapedOnATerminalOnly) {
  ScratchDir dir;
  const std::string table_name = "\x1b]0;ti\\tle\a";
  const std::string file_name = "a\x1b[2Jb\x7f.tbl";
  Table table = phone();
  table.name = table_name;
  write_file(dir / file_name, encode(table));
  const std::string command = quote(tool_path()) + " " + quote(file_name);
  const std::string shown = on_terminal(command, dir.path);
  const std::string escaped_file = "a\\033[2Jb\\177";
  EXPECT_EQ(shown, banner() + escaped_file + ".tbl => " + escaped_file + ".tblx...\n" +
                       progress("\\033]0;ti\\\\tle\\a", "+", 1, 1) + "\n");
  const RunResult piped = shell(command, {.cwd = dir.path});
  EXPECT_EQ(piped.out, banner() + file_name + " => a\x1b[2Jb\x7f.tblx...\n" +
                           progress(table_name, "+", 1, 1) + "\n");
  shell(command + " >log", {.cwd = dir.path});
  EXPECT_EQ(read_file(dir / "log"), piped.out);

  // A message made of a path, and a file mode's report.
  EXPECT_EQ(on_terminal(quote(tool_path()) + " 'x\ty.tbl'", dir.path),
            banner() + "x\\ty.tbl: Cannot read the file\n");
}

// ---- Targets that are what they are ----------------------------------------------------------

// A target that is the very file an open descriptor writes, however it is spelled, is written
// through that descriptor: appended to, never replaced. The data come alone; messages go to
// standard error.
TEST(Targets, AnotherSpellingOfAnOpenDescriptorIsWrittenThroughIt) {
  ScratchDir dir;
  write_file(dir / "data", "abc");
  for (const std::string target : {"/dev/./stdout", "/dev/fd/../fd/1", "log.link", "app.log"}) {
    SCOPED_TRACE(target);
    write_file(dir / "app.log", "before\n");
    fs::remove(dir / "log.link");
    fs::create_symlink("app.log", dir / "log.link");
    const RunResult run =
        run_tool({"-e", "data", target}, {.cwd = dir.path, .append_to = {{1, dir / "app.log"}}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(dir / "app.log"), "before\nYWJj");
    EXPECT_EQ(run.err, banner() + target + ": Encoding OK\n");
    EXPECT_TRUE(fs::is_symlink(dir / "log.link"));
  }
}

// A target that is a loop of links, or whose folder is a file, cannot be written: the link
// stays a link, and the run fails.
TEST(Targets, UnresolvableTargetsCannotBeWritten) {
  ScratchDir dir;
  write_file(dir / "data", "abc");
  write_file(dir / "file", "");
  fs::create_symlink("loop2", dir / "loop1");
  fs::create_symlink("loop1", dir / "loop2");
  fs::create_symlink("self", dir / "self");
  for (const std::string target : {"loop1", "self", "file/out", "loop1/out"}) {
    SCOPED_TRACE(target);
    const RunResult run = run_tool({"-e", "data", target}, {.cwd = dir.path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, banner() + target + ": Cannot write the file\n");
  }
  EXPECT_EQ(dir.entries(), (Names{"data", "file", "loop1", "loop2", "self"}));
  EXPECT_TRUE(fs::is_symlink(dir / "loop1"));
  EXPECT_TRUE(fs::is_symlink(dir / "self"));
}

}  // namespace
