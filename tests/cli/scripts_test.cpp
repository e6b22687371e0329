// The tool in scripts and pipelines: the exit status of a batch, standard output and the other
// descriptors the tool is given as a file mode's target, file-size limits as a shell sets them,
// and reproducible documents. Each case checks the status, where every byte went (standard
// output, standard error, files) and the files left and not left.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "documents.hpp"
#include "support.hpp"
#include "tables.hpp"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using Names = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, std::string>>;

// A document of one table `name` with an int4 field; `records` go inside <records>.
std::string int4_document(std::string_view name, std::string_view records) {
  return document(table_element(name, fieldinfo_element(1, "n", "int4"),
                                "<records>" + std::string(records) + "</records>"));
}

const std::string kRecord = "<record>" + fielddata_element(1, "int4", "7") + "</record>";

ino_t inode(const fs::path& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_ino;
}

// ---- Exit status of a batch ------------------------------------------------------------------

struct BatchCase {
  const char* what;
  Files files;
  Names args;
  int status;
  Names entries;         // the folder afterwards
  std::string reported;  // a line the run prints
};

TEST(Batch, EndsWithOneWhenAnyConversionFailed) {
  const std::string phone = phone_table();
  const std::string good = int4_document("good", kRecord);
  const std::string broken = int4_document("broken", "<record><fielddata><id>1</id><type>int8");
  // The last value, an int2, given one byte.
  Table damaged_phone = testing_support::phone();
  damaged_phone.records[0].values[1] = entry(2, tbl2tblx::kInt2, "\xfe");
  const std::string damaged = encode(damaged_phone);
  const std::vector<BatchCase> cases = {
      {"converted and skipped",
       {{"phone.tbl", phone}, {"good.tblx", good}, {"notes.txt", ""}},
       {"phone.tbl", "notes.txt", "-x", "good.tblx", "-h"},
       0,
       {"good.tbl", "good.tblx", "notes.txt", "phone.tbl", "phone.tblx"},
       "good.tblx =>\n"},
      {"a retry under the time name is no failure",
       {{"slash.tblx", int4_document("a/b", kRecord)}},
       {"slash.tblx"},
       0,
       {"<time>.tbl", "slash.tblx"},
       "a/b.tbl: Cannot write the file. Retry...\n"},
      {"the secret notice is no failure",
       {{"secret.tblx", int4_document("secret", "<record><secret/></record>")}},
       {"secret.tblx"},
       0,
       {"secret.tbl", "secret.tblx"},
       "#0: Secret data not supported in tbl\n"},
      {"arguments are taken in order: a new document converts back",
       {{"phone.tbl", phone}},
       {"phone.tbl", "phone.tblx"},
       0,
       {"phone.tbl", "phone.tblx"},
       "phone.tblx =>\n\tphone.tbl...\n"},
      {"a broken document, and the arguments after it",
       {{"broken.tblx", broken}, {"phone.tbl", phone}},
       {"broken.tblx", "phone.tbl"},
       1,
       {"broken.tblx", "phone.tbl", "phone.tblx"},
       "Error: <type> at line 5\n"},
      {"a missing file",
       {{"phone.tbl", phone}},
       {"missing.tblx", "phone.tbl"},
       1,
       {"phone.tbl", "phone.tblx"},
       "missing.tblx: Cannot read the file\n"},
      {"a cut binary file",
       {{"cut.tbl", phone.substr(0, 100)}},
       {"cut.tbl"},
       1,
       {"cut.tbl"},
       "Warning: EOF mismatched\n"},
      {"a damaged binary file",
       {{"bad.tbl", damaged}},
       {"bad.tbl"},
       1,
       {"bad.tbl"},
       "bad.tbl: Damaged table file\n"},
      {"a document that cannot be written",
       {{"phone.tbl", phone}, {"phone.tblx/keep", ""}},
       {"phone.tbl"},
       1,
       {"phone.tbl", "phone.tblx"},
       "phone.tblx: Cannot write the file\n"},
  };
  for (const BatchCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    for (const auto& [name, content] : c.files) {
      fs::create_directories((dir / name).parent_path());
      write_file(dir / name, content);
    }
    const RunResult run = run_tool(c.args, {.cwd = dir.path});
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.reported), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
    Names entries = dir.entries();
    for (std::string& name : entries)
      name = std::regex_replace(name, std::regex("^[0-9]{14}"), "<time>");
    EXPECT_EQ(entries, c.entries);
  }
}

// ---- Descriptors as targets ------------------------------------------------------------------

// A target naming standard output is written through it as it stands: appended to the log it
// is redirected to, never replacing it, with every message on standard error.
TEST(DescriptorTargets, StandardOutputCarriesTheDataAlone) {
  const std::string data = random_bytes(1'500'000, 1);  // more than one piece of the stream
  ScratchDir dir;
  write_file(dir / "data", data);
  ASSERT_EQ(run_tool({"-e", "data", "data.b64"}, {.cwd = dir.path}).status, 0);
  const std::string encoded = read_file(dir / "data.b64");
  const std::string unbroken = std::regex_replace(encoded, std::regex("\n"), "");
  struct Case {
    const char* option;
    const char* source;
    const char* target;
    std::string result;
    const char* said;
  } cases[] = {
      {"-e", "data", "/dev/stdout", encoded, "Encoding OK"},
      {"-d", "data.b64", "/dev/fd/1", data, "Decoding OK"},
      {"-c", "data", "/proc/self/fd/1", unbroken, "Encoding OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    write_file(dir / "app.log", "earlier line\n");
    const ino_t before = inode(dir / "app.log");
    const RunResult run = run_tool({c.option, c.source, c.target},
                                   {.cwd = dir.path, .append_to = {{1, dir / "app.log"}}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, banner() + c.target + ": " + c.said + "\n");
    EXPECT_TRUE(read_file(dir / "app.log") == "earlier line\n" + c.result);
    EXPECT_EQ(inode(dir / "app.log"), before);
    EXPECT_EQ(dir.entries(), (Names{"app.log", "data", "data.b64"}));
  }

  // In a pipe: standard input decoded onto standard output.
  const RunResult piped =
      run_tool({"-d", "/dev/stdin", "/dev/stdout"}, {.cwd = dir.path, .stdin_data = encoded});
  EXPECT_EQ(piped.status, 0);
  EXPECT_TRUE(piped.out == data);
  EXPECT_EQ(piped.err, banner() + "/dev/stdout: Decoding OK\n");
}

// Other descriptors are written as they stand too; messages stay on standard output.
TEST(DescriptorTargets, OtherDescriptorsAreWrittenInPlace) {
  ScratchDir dir;
  write_file(dir / "abc", "abc");
  for (const char* target : {"/dev/fd/3", "/proc/self/fd/3"}) {
    write_file(dir / "side.log", "earlier");
    const RunResult run =
        run_tool({"-c", "abc", target}, {.cwd = dir.path, .append_to = {{3, dir / "side.log"}}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, banner() + target + ": Encoding OK\n");
    EXPECT_EQ(read_file(dir / "side.log"), "earlierYWJj");
  }
  const RunResult to_stderr = run_tool({"-c", "abc", "/dev/stderr"}, {.cwd = dir.path});
  EXPECT_EQ(to_stderr.status, 0);
  EXPECT_EQ(to_stderr.out, banner() + "/dev/stderr: Encoding OK\n");
  EXPECT_EQ(to_stderr.err, "YWJj");
  EXPECT_EQ(dir.entries(), (Names{"abc", "side.log"}));
}

TEST(DescriptorTargets, AFailureIsAnUnwritableFile) {
  ScratchDir dir;
  write_file(dir / "abc", "abc");
  write_file(dir / "blank", " \n");
  struct Case {
    const char* what;
    Names args;
    RunOptions how;
    std::string out, err;
  } cases[] = {
      {"standard output on a full disk",
       {"-c", "abc", "/dev/stdout"},
       {.cwd = dir.path, .stdout_to_dev_full = true},
       "",
       banner() + "/dev/stdout: Cannot write the file\n"},
      {"nothing decoded onto standard output",
       {"-d", "blank", "/dev/stdout"},
       {.cwd = dir.path},
       "",
       banner() + "/dev/stdout: Cannot write the file\n"},
      {"a descriptor that is not open",
       {"-e", "abc", "/dev/fd/9"},
       {.cwd = dir.path},
       banner() + "/dev/fd/9: Cannot write the file\n",
       ""},
      {"a descriptor open for reading only",
       {"-e", "abc", "/dev/stdin"},
       {.cwd = dir.path},
       banner() + "/dev/stdin: Cannot write the file\n",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const RunResult run = run_tool(c.args, c.how);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(dir.entries(), (Names{"abc", "blank"}));
  }
}

// ---- Reproducible documents ------------------------------------------------------------------

std::string date_of(const fs::path& document) {
  std::smatch date;
  const std::string text = read_file(document);
  const std::regex line("<date>([^<]*)</date>");
  return std::regex_search(text, date, line) ? date[1].str() : "";
}

// Seconds between a header date read as UTC and now.
long seconds_from_now(const std::string& date) {
  std::tm fields{};
  if (strptime(date.c_str(), "%Y-%m-%d %H:%M:%S", &fields) == nullptr) return -1;
  return std::labs(static_cast<long>(timegm(&fields) - std::time(nullptr)));
}

// A time zone nine hours east of UTC, written out so that no zone database is needed.
const std::pair<std::string, std::string> kEastZone = {"TZ", "XYZ-9"};
constexpr long kNineHours = 9 * 3600;

TEST(SourceDateEpoch, ADecimalNumberOfSecondsGivesThatInstantInUtc) {
  ScratchDir dir;
  write_file(dir / "phone.tbl", phone_table());
  for (const auto& [epoch, date] :
       {std::pair{"0", "1970-01-01 00:00:00"}, std::pair{"1700000000", "2023-11-14 22:13:20"},
        std::pair{"253402300799", "9999-12-31 23:59:59"},
        std::pair{"0000000086400", "1970-01-02 00:00:00"}}) {
    SCOPED_TRACE(epoch);
    const RunResult run = run_tool(
        {"phone.tbl"}, {.cwd = dir.path, .environment = {kEastZone, {"SOURCE_DATE_EPOCH", epoch}}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(date_of(dir / "phone.tblx"), date);
  }
  const std::string first = read_file(dir / "phone.tblx");
  run_tool({"phone.tbl"}, {.cwd = dir.path, .environment = {{"SOURCE_DATE_EPOCH", "86400"}}});
  EXPECT_EQ(read_file(dir / "phone.tblx"), first);
}

// Anything else is no instant: the local time is shown, as without the variable. That includes
// instants past the year 9999, which a four-digit year cannot show (and which once overflowed
// the year).
TEST(SourceDateEpoch, OtherValuesGiveTheLocalTime) {
  ScratchDir dir;
  write_file(dir / "phone.tbl", phone_table());
  for (const char* epoch :
       {"", "-1", "+5", " 5", "5 ", "12abc", "1.5", "1e9", "0x10", "99999999999999999999999",
        "253402300800", "67767976233532800", "67768036191676800", "9223372036854775807",
        "9223372036854775808", "18446744073709551616"}) {
    SCOPED_TRACE(std::string("\"") + epoch + "\"");
    const RunResult run = run_tool(
        {"phone.tbl"}, {.cwd = dir.path, .environment = {kEastZone, {"SOURCE_DATE_EPOCH", epoch}}});
    EXPECT_EQ(run.status, 0);
    EXPECT_LE(std::labs(seconds_from_now(date_of(dir / "phone.tblx")) - kNineHours), 60);
  }
}

// The variable dates documents only: a fallback file name still takes the local time.
TEST(SourceDateEpoch, FallbackNamesKeepTheLocalTime) {
  ScratchDir dir;
  write_file(dir / "slash.tblx", int4_document("a/b", kRecord));
  const RunResult run =
      run_tool({"slash.tblx"}, {.cwd = dir.path, .environment = {{"SOURCE_DATE_EPOCH", "0"}}});
  EXPECT_EQ(run.status, 0);
  const Names entries = dir.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(std::regex_match(entries[0], std::regex("20[0-9]{12}\\.tbl"))) << entries[0];
}

// ---- Runs sharing a log --------------------------------------------------------------------

// A log cut into what runs write whole: lines, and progress lines (which end in a blank).
struct LogPieces {
  std::vector<std::string> lines;
  std::map<std::string, std::vector<std::uint64_t>> counts;  // the progress counts, by table
  bool whole = true;                                         // every byte belongs to a whole piece
};

LogPieces cut_log(const std::string& log) {
  LogPieces pieces;
  const std::string backspaces(80, '\b');
  std::size_t at = 0;
  while (at < log.size() && pieces.whole) {
    if (log.compare(at, backspaces.size(), backspaces) == 0) {
      // "\b" * 80, "\t", the table, ": +", the count, "/", the total, " "
      const std::size_t tab = at + backspaces.size();
      const std::size_t colon = log.find(": +", tab);
      const std::size_t slash = log.find('/', colon);
      const std::size_t blank = log.find(' ', slash);
      pieces.whole = log[tab] == '\t' && colon != std::string::npos && slash != std::string::npos &&
                     blank != std::string::npos;
      if (!pieces.whole) break;
      const std::string count = log.substr(colon + 3, slash - colon - 3);
      pieces.whole = !count.empty() && count.find_first_not_of("0123456789") == std::string::npos;
      if (pieces.whole)
        pieces.counts[log.substr(tab + 1, colon - tab - 1)].push_back(std::stoull(count));
      at = blank + 1;
    } else {
      const std::size_t end = log.find('\n', at);
      pieces.whole = end != std::string::npos && log.find('\b', at) > end;
      if (pieces.whole) pieces.lines.push_back(log.substr(at, end + 1 - at));
      at = end + 1;
    }
  }
  std::sort(pieces.lines.begin(), pieces.lines.end());
  return pieces;
}

// Two runs write to one log at once, through a file and through a pipe: the log is made of
// whole lines and progress lines, each run's progress in its order, whatever the interleaving.
TEST(SharedLog, ParallelRunsInterleaveWholeLinesOnly) {
  ScratchDir dir;
  constexpr std::uint64_t kRecords = 20000;
  std::vector<std::uint64_t> counts;
  for (std::uint64_t n = 1; n <= kRecords; ++n)
    counts.push_back(n);
  std::vector<std::string> lines;
  for (const std::string name : {"alpha", "bravo"}) {
    Table table{.name = name, .fields = {{1, "n", tbl2tblx::kInt4}}};
    for (std::uint64_t i = 0; i < kRecords; ++i)
      table.records.push_back({tbl2tblx::kNone, {int4(1, static_cast<std::int64_t>(i))}});
    write_file(dir / (name + ".tbl"), encode(table));
    for (const std::string& line : {"tbl2tblx " + std::string(tbl2tblx::kToolVersion) + " by " +
                                        std::string(tbl2tblx::kAuthorCredit) + "\n",
                                    std::string(tbl2tblx::kWebAddress) + "\n", std::string("\n"),
                                    name + ".tbl => " + name + ".tblx...\n", std::string("\n")}) {
      lines.push_back(line);
    }
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string sink : {"> log", "| cat > log"}) {
    SCOPED_TRACE(sink);
    const RunResult result = shell("cd " + quote(dir.path) + " && ls *.tbl | xargs -P2 -n1 " +
                                   quote(tool_path()) + " " + sink);
    ASSERT_EQ(result.status, 0) << result.out;
    const LogPieces pieces = cut_log(read_file(dir / "log"));
    ASSERT_TRUE(pieces.whole);
    EXPECT_EQ(pieces.lines, lines);
    EXPECT_EQ(pieces.counts.at("alpha"), counts);
    EXPECT_EQ(pieces.counts.at("bravo"), counts);
  }
}

}  // namespace
