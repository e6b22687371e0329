// Faults as a user meets them, end to end: outputs cut short by a file-size limit, folders and
// names that cannot be written, interrupts and kills in the middle of long conversions, a
// standard output that fails, and memory bounds on inputs of a few hundred MiB. Each case checks
// the message, the exit status, the files left and the files not left: no temporary file ever
// remains (but after SIGKILL, which nothing can catch).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "documents.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "support.hpp"
#include "tables.hpp"

namespace fs = std::filesystem;
using namespace testing_support;
using tbl2tblx::kBlob;
using tbl2tblx::kInt2;
using tbl2tblx::kInt4;
using tbl2tblx::kString;

namespace {

using Names = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMiB = std::int64_t{1} << 20;
constexpr std::string_view kTempPrefix = ".tbl2tblx-";

// ---- Binary tables ---------------------------------------------------------------------------

// Header form, append, the fields int2 1, int4 2, string 3 and blob 4, skeyid 1, the groups
// "north" and "south", and the count of the records that follow.
std::string table_head(std::string_view name, std::uint64_t records) {
  return encode({.name = std::string(name),
                 .fields = {{1, "code", kInt2},
                            {2, "amount", kInt4},
                            {3, "label", kString},
                            {4, "payload", kBlob}},
                 .skeyid = 1,
                 .groups = {"north", "south"},
                 .nrecord = records});
}

// `count` different records: all four values, a label that needs escaping, a blob of 8 to 23
// bytes, in either group or none. About 60 bytes each.
std::string records(std::uint64_t count) {
  std::string out;
  for (std::uint64_t n = 1; n <= count; ++n) {
    const auto small = static_cast<int>(n % 251);
    out += bytes({small % 3 == 2 ? 0xFF : small % 3, 4});
    out += entry(1, 0, le(n * 7919, 2)) + entry(2, 1, le(n * 104729, 4));
    std::string label = (small % 8 == 0 ? "bolt & nut " : "gear <") + std::to_string(n) + '\0';
    out += entry(3, 2, label);
    std::string blob(8 + static_cast<std::size_t>(small % 16), '\0');
    for (std::size_t i = 0; i < blob.size(); ++i)
      blob[i] = static_cast<char>(n * 31 + i * 17);
    out += entry(4, 3, blob);
  }
  return out;
}

std::string records_table(std::string_view name, std::uint64_t count) {
  return table_head(name, count) + records(count);
}

// The same for millions of records: a block of distinct records written over and over.
void write_records_table(const fs::path& path, std::string_view name, std::uint64_t count) {
  constexpr std::uint64_t kBlock = 4096;
  std::ofstream out(path, std::ios::binary);
  const std::string head = table_head(name, count);
  const std::string block = records(kBlock);
  out.write(head.data(), static_cast<std::streamsize>(head.size()));
  for (std::uint64_t done = 0; done + kBlock <= count; done += kBlock)
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  const std::string rest = records(count % kBlock);
  out.write(rest.data(), static_cast<std::streamsize>(rest.size()));
  ASSERT_TRUE(out.good());
}

// A table of few records and large values: 16 records of an int4, a 64 KiB string with the
// characters that need escaping, and a 16 MiB blob. 257 MiB, append.
void write_blob_table(const fs::path& path) {
  constexpr int kRecords = 16;
  constexpr std::size_t kBlobPieces = 16;
  std::string piece(static_cast<std::size_t>(kMiB), '\0');
  for (std::size_t i = 0; i < piece.size(); ++i)
    piece[i] = static_cast<char>((i * 2654435761u) >> 13);
  std::string note;
  while (note.size() < (64u << 10))
    note += "a&b<c>d\xE9 ";
  note += '\0';

  std::ofstream out(path, std::ios::binary);
  const std::string head =
      encode({.name = "blobs",
              .fields = {{1, "n", kInt4}, {2, "note", kString}, {3, "data", kBlob}},
              .nrecord = kRecords});
  out.write(head.data(), static_cast<std::streamsize>(head.size()));
  for (int n = 0; n < kRecords; ++n) {
    const std::string values =
        bytes({0xFF, 3}) + entry(1, 1, le(static_cast<std::uint64_t>(n), 4)) + entry(2, 2, note) +
        bytes({3, 3}) + le(kBlobPieces * piece.size(), 4);
    out.write(values.data(), static_cast<std::streamsize>(values.size()));
    piece[0] = static_cast<char>(n);  // no two blobs alike
    for (std::size_t i = 0; i < kBlobPieces; ++i)
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  ASSERT_TRUE(out.good());
}

// ---- Documents -------------------------------------------------------------------------------

// A document of one append table "t": `fields` string fields, `groups` groups, and one record for
// each length in `strings`, holding a string of that many characters.
std::string document(std::size_t fields, std::size_t groups,
                     const std::vector<std::size_t>& strings) {
  std::string schema = "\n";
  for (std::size_t i = 0; i < fields; ++i)
    schema += fieldinfo_element(1, "f", "string") + "\n";
  std::string body;
  if (groups > 0) {
    body += "<groups>";
    for (std::size_t i = 0; i < groups; ++i)
      body += "<group>g" + std::to_string(i) + "</group>\n";
    body += "</groups>\n";
  }
  body += "<records>\n";
  for (std::size_t length : strings)
    body += "<record>" + fielddata_element(1, "string", std::string(length, 'x')) + "</record>\n";
  return testing_support::document(table_element("t", schema, body + "</records>"));
}

// ---- Console lines ---------------------------------------------------------------------------

// The record count of the last progress line in `out`, -1 without one.
long last_progress(const std::string& out) {
  const std::size_t tab = out.rfind("\b\t");
  if (tab == std::string::npos) return -1;
  const std::size_t plus = out.find('+', tab);
  return std::stol(out.substr(plus + 1));
}

// The end of a long console text, for failure messages.
std::string tail(const std::string& out) {
  return out.substr(out.size() - std::min<std::size_t>(out.size(), 300));
}

// ---- Files -----------------------------------------------------------------------------------

std::vector<fs::path> temp_files(const fs::path& dir) {
  std::vector<fs::path> found;
  for (auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().starts_with(kTempPrefix)) found.push_back(entry.path());
  }
  return found;
}

Names entries_of(const fs::path& dir) {
  Names names;
  for (auto& entry : fs::directory_iterator(dir))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// The same bytes; with `but_date`, two documents may differ in the date of their header.
bool same_content(const fs::path& a, const fs::path& b, bool but_date = false) {
  std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
  if (!left || !right || fs::file_size(a) != fs::file_size(b)) return false;
  std::vector<char> x(static_cast<std::size_t>(kMiB)), y(x.size());
  for (bool first = true; left; first = false) {
    left.read(x.data(), static_cast<std::streamsize>(x.size()));
    right.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (left.gcount() != right.gcount()) return false;
    if (first && but_date) {
      constexpr std::string_view kDate = "<date>";
      const auto date = std::search(x.begin(), x.end(), kDate.begin(), kDate.end());
      if (date == x.end()) return false;
      const std::size_t at = static_cast<std::size_t>(date - x.begin()) + kDate.size();
      std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(at), 19,
                  y.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(left.gcount())) != 0) return false;
  }
  return true;
}

// A name for `source` in `dir`, without copying hundreds of MiB where a link will do.
void link_into(const fs::path& source, const fs::path& dir, const std::string& name) {
  std::error_code failed;
  fs::create_hard_link(source, dir / name, failed);
  if (failed) fs::copy_file(source, dir / name);
}

// ---- Large inputs, made once for the whole program ------------------------------------------

const ScratchDir& large_inputs() {
  static const ScratchDir dir;
  return dir;
}

// Two million records (120 MB): the plain tool takes over a second to write their document.
const fs::path& many_records_table() {
  static const fs::path path = [] {
    const fs::path made = large_inputs() / "big.tbl";
    write_records_table(made, "big", 2'000'000);
    return made;
  }();
  return path;
}

// The document of 600,000 such records (320 MB), which takes the plain tool over a second to
// read back.
const fs::path& many_records_document() {
  static const fs::path path = [] {
    ScratchDir work;
    write_records_table(work / "many.tbl", "many", 600'000);
    const RunResult run = run_tool({"many.tbl"}, {.cwd = work.path, .plain = true});
    EXPECT_EQ(run.status, 0);
    const fs::path made = large_inputs() / "many.tblx";
    fs::rename(work / "many.tblx", made);
    return made;
  }();
  return path;
}

const fs::path& blob_table() {
  static const fs::path path = [] {
    const fs::path made = large_inputs() / "blobs.tbl";
    write_blob_table(made);
    return made;
  }();
  return path;
}

// ---- Short writes ----------------------------------------------------------------------------

// A document larger than the writer's buffer, cut at several sizes: the walk stops where the
// output failed (in the middle of small records, inside a large blob or string value, or at the
// very end), nothing more is printed, and the earlier document stays as it was.
TEST(ShortWrites, DocumentStopsWhereTheOutputFailed) {
  constexpr std::uint64_t kSmall = 20000;
  std::string big_text;
  while (big_text.size() < 1'600'000)
    big_text += "&x\r\n";
  const std::string big_blob(3'000'000, '\x5A');
  std::string table = table_head("t", kSmall + 2) + records(kSmall);
  table += bytes({0xFF, 1}) + entry(4, 3, big_blob);
  table += bytes({0xFF, 1}) + entry(3, 2, big_text + '\0');

  ScratchDir dir;
  write_file(dir / "t.tbl", table);
  ASSERT_EQ(run_tool({"t.tbl"}, {.cwd = dir.path}).status, 0);
  const std::string earlier = read_file(dir / "t.tblx");
  const auto size = static_cast<std::int64_t>(earlier.size());
  // The large values start where their content starts in the whole document.
  const auto blob_at = static_cast<std::int64_t>(earlier.find("WlpaWlpaWlpaWlpa"));
  const auto text_at = static_cast<std::int64_t>(earlier.find("&amp;x\r\n&amp;x"));
  ASSERT_GT(text_at, blob_at + 3 * kMiB);
  ASSERT_GT(size, text_at + 3 * kMiB);

  struct Cut {
    const char* where;
    std::int64_t limit;
    std::uint64_t shown;  // the last record shown; 0: somewhere among the small records
  } cuts[] = {
      {"among small records", 0, 0},
      {"inside the blob", blob_at + kMiB, kSmall},
      {"inside the string", text_at + kMiB, kSmall + 1},
      {"at the end", size - 1, kSmall + 2},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.where);
    const RunResult run = run_tool({"t.tbl"}, {.cwd = dir.path, .file_size_limit = cut.limit});
    EXPECT_EQ(run.status, 1);
    const std::string message = "t.tblx: Cannot write the file\n";
    ASSERT_TRUE(run.out.ends_with(message)) << tail(run.out);
    const long shown = last_progress(run.out);
    if (cut.shown == 0) {
      EXPECT_GT(shown, 0);
      EXPECT_LT(shown, static_cast<long>(kSmall));
    } else {
      EXPECT_EQ(shown, static_cast<long>(cut.shown));
    }
    EXPECT_EQ(run.out, banner() + "t.tbl => t.tblx...\n" +
                           progress_lines("t", "+", static_cast<std::uint64_t>(shown), kSmall + 2) +
                           message);
    EXPECT_EQ(dir.entries(), (Names{"t.tbl", "t.tblx"}));
    EXPECT_TRUE(read_file(dir / "t.tblx") == earlier);
  }
}

// Binary output is buffered, so a short write shows at the first item written once the buffer
// holds kOutputBufferSize bytes (or at the end, for what is left in it). The sizes below bring
// the item before each item named to the 1 MiB mark: 30 bytes of header, name and ninfo, 23 per
// field, skeyid and ngroup, 21 per group, 4 for nrecord, then per record its group byte, ndata,
// 6 bytes of entry head and the string with its terminating zero. The header, name and ninfo
// come before the buffer can fill, and skeyid and ngroup never reach the mark: 30 + 23 * n (+ 1)
// is never 1 MiB.
TEST(ShortWrites, TableFailureNamesTheItemBeingWritten) {
  using namespace tbl2tblx;
  constexpr std::size_t kBuffer = kOutputBufferSize;
  constexpr std::size_t kHead = kFileHeaderSize + kTableNameWidth + kCountWidth;
  constexpr std::size_t kSkeyidAndNgroup = 2;
  // Fields fill the buffer to 20 bytes short of the mark: the first group reaches it.
  constexpr std::size_t kFieldsNearlyFull = (kBuffer - kHead - kSkeyidAndNgroup) / kFieldInfoSize;
  static_assert(kBuffer - (kHead + kFieldsNearlyFull * kFieldInfoSize + kSkeyidAndNgroup) <
                kNameFieldWidth);
  // With one field, records start here; a record of a string of n characters takes n + 9 bytes.
  constexpr std::size_t kRecordsStart = kHead + kFieldInfoSize + kSkeyidAndNgroup + kCountWidth;
  constexpr std::size_t kRecordBeyondString = kRecordHeadSize + kFieldDataHeadSize + 1;
  constexpr std::size_t kFillingString = kBuffer - kRecordsStart - kRecordBeyondString;
  // Records of 128 bytes: the 8192nd reaches the mark in its string, whose terminating zero is
  // written next; and the rest after the first 1 MiB fails at the end.
  const std::vector<std::size_t> even(9000, 128 - kRecordBeyondString);
  struct Case {
    const char* item;
    std::string document;
    std::int64_t limit;
    std::uint64_t shown;  // records shown before the message
  } cases[] = {
      {"fieldinfo", document(kBuffer / kFieldInfoSize + 1, 0, {}), 100, 0},
      {"group", document(kFieldsNearlyFull, 2, {}), 100, 0},
      {"nrecord", document(kFieldsNearlyFull, 1, {}), 100, 0},
      {"group", document(1, 0, {kFillingString, 1}), 100, 1},
      {"ndata", document(1, 0, {kFillingString - 1, 1}), 100, 1},
      {"fielddata", document(1, 0, {kFillingString - 2, 1}), 100, 1},
      {"fielddata", document(1, 0, even), 100, 8191},
      // A string longer than the buffer is written past it, after what is buffered.
      {"fielddata", document(1, 0, {3'000'000}), kMiB, 0},
      {"file", document(1, 0, even), 1'100'000, 9000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.item) + " " + std::to_string(c.shown));
    ScratchDir dir;
    write_file(dir / "t.tblx", c.document);
    write_file(dir / "t.tbl", "earlier");
    const RunResult run = run_tool({"t.tblx"}, {.cwd = dir.path, .file_size_limit = c.limit});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out == banner() + "t.tblx =>\n\tt.tbl...\n" +
                               progress_lines("t", "+", c.shown) + "t.tbl: Cannot write the " +
                               c.item + "\n")
        << tail(run.out);
    EXPECT_EQ(read_file(dir / "t.tbl"), "earlier");
    EXPECT_EQ(dir.entries(), (Names{"t.tbl", "t.tblx"}));
  }
}

// The file modes write chunks of over 1 MiB straight through: a limit fails them in the middle
// of the stream as well as at the end.
TEST(ShortWrites, FileModesFailInTheMiddleAndAtTheEnd) {
  ScratchDir dir;
  std::string data(3'000'000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 131 >> 3);
  write_file(dir / "data", data);
  ASSERT_EQ(run_tool({"-e", "data", "text"}, {.cwd = dir.path}).status, 0);
  const auto text_size = static_cast<std::int64_t>(fs::file_size(dir / "text"));
  write_file(dir / "out", "earlier");
  for (const auto& [option, source, size] :
       {std::tuple{"-e", "data", text_size}, std::tuple{"-c", "data", std::int64_t{4'000'000}},
        std::tuple{"-d", "text", std::int64_t{3'000'000}}}) {
    for (std::int64_t limit : {std::int64_t{0}, 2 * kMiB, size - 1}) {
      SCOPED_TRACE(std::string(option) + " " + std::to_string(limit));
      const RunResult run =
          run_tool({option, source, "out"}, {.cwd = dir.path, .file_size_limit = limit});
      EXPECT_EQ(run.out, banner() + "out: Cannot write the file\n");
      EXPECT_EQ(run.status, 1);
      EXPECT_EQ(read_file(dir / "out"), "earlier");
      EXPECT_EQ(dir.entries(), (Names{"data", "out", "text"}));
    }
  }
}

// Outputs far smaller than a buffer fail when the limit refuses their first bytes or the rest:
// each kind of writer reports the file (or the item it was writing), the earlier file stays, and
// the limit never kills the tool, which was started with SIGXFSZ at its default action.
TEST(ShortWrites, SmallOutputsKeepTheEarlierFile) {
  const std::string phone_lines = phone_document_lines();
  std::string big_blob = phone_lines;
  big_blob.replace(
      big_blob.find("string</type>\n\t\t\t\t\t\t<content>Ann"),
      std::string_view("string</type>\n\t\t\t\t\t\t<content>Ann").size(),
      "blob</type>\n\t\t\t\t\t\t<content encoding=\"b64\">" + std::string(4 << 20, 'A'));
  const std::string record = "<record>" + fielddata_element(1, "int4", "7") + "</record>";
  const std::string two_records = testing_support::document(table_element(
      "t", fieldinfo_element(1, "n", "int4"), "<records>" + record + record + "</records>"));
  const std::string file_mode = "out: Cannot write the file\n";
  const std::string phone_document = "phone.tbl => phone.tblx...\n" + progress("phone", "+", 1, 1) +
                                     "phone.tblx: Cannot write the file\n";
  const std::string phone_table_written = "phone.tblx =>\n\tphone.tbl...\n" +
                                          progress("phone", "+", 1) +
                                          "phone.tbl: Cannot write the file\n";
  struct Case {
    const char* what;
    std::string input, content;
    Names args;
    std::string output;
    std::int64_t limit;
    std::string out;  // after the banner
  } cases[] = {
      {"a file mode, refused at once",
       "data",
       random_bytes(200000, 3),
       {"-e", "data", "out"},
       "out",
       0,
       file_mode},
      {"a file mode, cut",
       "data",
       random_bytes(200000, 3),
       {"-e", "data", "out"},
       "out",
       60,
       file_mode},
      {"a file mode, cut later",
       "data",
       random_bytes(200000, 3),
       {"-e", "data", "out"},
       "out",
       1000,
       file_mode},
      {"a file mode, cut in the middle",
       "data",
       random_bytes(200000, 3),
       {"-e", "data", "out"},
       "out",
       150000,
       file_mode},
      {"a document", "phone.tbl", phone_table(), {"phone.tbl"}, "phone.tblx", 60, phone_document},
      {"a document, cut later",
       "phone.tbl",
       phone_table(),
       {"phone.tbl"},
       "phone.tblx",
       200,
       phone_document},
      {"a binary table",
       "t.tblx",
       two_records,
       {"t.tblx"},
       "t.tbl",
       60,
       "t.tblx =>\n\tt.tbl...\n" + progress_lines("t", "+", 2) + "t.tbl: Cannot write the file\n"},
      {"a binary table, complete",
       "phone.tblx",
       crlf(phone_lines),
       {"phone.tblx"},
       "phone.tbl",
       100,
       phone_table_written},
      {"a binary table, failing on a large value",
       "phone.tblx",
       crlf(big_blob),
       {"phone.tblx"},
       "phone.tbl",
       100,
       "phone.tblx =>\n\tphone.tbl...\nphone.tbl: Cannot write the fielddata\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    write_file(dir / c.input, c.content);
    write_file(dir / c.output, "earlier");
    const RunResult run = run_tool(c.args, {.cwd = dir.path, .file_size_limit = c.limit});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, banner() + c.out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(dir / c.output), "earlier");
    EXPECT_EQ(dir.entries().size(), 2u);
  }
}

// ---- Folders and names -----------------------------------------------------------------------

struct FolderCase {
  std::vector<std::string> args;
  std::string out;  // after the banner; <time> stands for a time-stamped name
  int status;
};

// Inputs in "in" beside the folder the tool runs in, named by absolute paths.
std::vector<FolderCase> unwritable_folder_cases(const fs::path& in) {
  write_file(in / "t.tbl", records_table("t", 3));
  write_file(in / "t.tblx", document(1, 0, {3}));
  write_file(in / "data", "abc");
  return {
      {{(in / "t.tbl").string()}, "t.tblx: Cannot write the file\n", 1},
      {{(in / "t.tblx").string()},
       (in / "t.tblx").string() +
           " =>\nt.tbl: Cannot write the file. Retry...\n<time>: Cannot write the file\n",
       1},
      {{"-c", (in / "data").string(), "out"}, "out: Cannot write the file\n", 1},
      {{"-d", (in / "data").string(), "out"}, "out: Cannot write the file\n", 1},
  };
}

std::string with_time_names(const std::string& out) {
  return std::regex_replace(out, std::regex("[0-9]{14}\\.tbl"), "<time>");
}

TEST(Folders, NothingIsWrittenInARemovedFolder) {
  ScratchDir dir;
  fs::create_directory(dir / "in");
  for (const FolderCase& c : unwritable_folder_cases(dir / "in")) {
    SCOPED_TRACE(c.args.front());
    fs::create_directory(dir / "gone");
    const RunResult run = run_tool(c.args, {.cwd = dir / "gone", .remove_cwd = true});
    EXPECT_EQ(with_time_names(run.out), banner() + c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(dir.entries(), Names{"in"});
  }
  EXPECT_EQ(entries_of(dir / "in"), (Names{"data", "t.tbl", "t.tblx"}));
}

TEST(Folders, NothingIsWrittenInAReadOnlyFolder) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes in read-only folders; see the removed folder";
  ScratchDir dir;
  fs::create_directory(dir / "in");
  fs::create_directory(dir / "locked");
  fs::permissions(dir / "locked", fs::perms(0500));
  for (const FolderCase& c : unwritable_folder_cases(dir / "in")) {
    SCOPED_TRACE(c.args.front());
    const RunResult run = run_tool(c.args, {.cwd = dir / "locked"});
    EXPECT_EQ(with_time_names(run.out), banner() + c.out);
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(fs::is_empty(dir / "locked"));
  }
  // A target in such a folder, named from outside it.
  const RunResult run = run_tool({"-c", "in/data", "locked/out"}, {.cwd = dir.path});
  EXPECT_EQ(run.out, banner() + "locked/out: Cannot write the file\n");
  EXPECT_EQ(run.status, 1);
}

// The converters' own outputs under a folder's name are covered with the converters; the file
// modes open a target that exists and is not a regular file in place, which a folder refuses.
TEST(Folders, AFolderUnderTheTargetNameIsLeftAlone) {
  ScratchDir dir;
  write_file(dir / "data", "YWJj");
  fs::create_directory(dir / "dir");
  write_file(dir / "dir" / "keep", "kept");
  for (const char* option : {"-e", "-c", "-d"}) {
    const RunResult run = run_tool({option, "data", "dir"}, {.cwd = dir.path});
    EXPECT_EQ(run.out, banner() + "dir: Cannot write the file\n") << option;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(dir.entries(), (Names{"data", "dir"}));
    EXPECT_EQ(read_file(dir / "dir" / "keep"), "kept");
  }
}

// ---- Interrupts ------------------------------------------------------------------------------

// Waits until the tool has written into its temporary file, so that it is in the middle of the
// conversion; false if it ended first (left unreaped, so that its id stays its own) or took far
// too long.
bool wait_until_writing(pid_t tool, const fs::path& dir) {
  const auto give_up = Clock::now() + std::chrono::minutes(2);
  while (Clock::now() < give_up) {
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(tool), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        ended.si_pid == tool) {
      return false;
    }
    for (const fs::path& temp : temp_files(dir)) {
      std::error_code gone;
      if (fs::file_size(temp, gone) > 0 && !gone) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// An interrupt removes the temporary file and leaves the earlier output; a kill cannot, but the
// earlier output still stands whole under its name, never a part of the new one.
TEST(Interrupts, LongConversionsLeaveTheEarlierOutput) {
  struct Direction {
    const fs::path& input;
    std::string input_name;
    std::string output_name;
  } directions[] = {
      {many_records_table(), "big.tbl", "big.tblx"},
      {many_records_document(), "many.tblx", "many.tbl"},
  };
  for (const Direction& d : directions) {
    for (int signal_number : {SIGINT, SIGTERM, SIGKILL}) {
      SCOPED_TRACE(d.input_name + " " + strsignal(signal_number));
      ScratchDir dir;
      link_into(d.input, dir.path, d.input_name);
      write_file(dir / d.output_name, "earlier");
      Started tool = start_tool({d.input_name},
                                {.cwd = dir.path, .plain = true, .append_to = {{1, "/dev/null"}}});
      const bool writing = wait_until_writing(tool.pid, dir.path);
      kill(tool.pid, signal_number);
      const int status = finish(tool).status;
      ASSERT_TRUE(writing) << "the conversion ended before it could be interrupted";
      EXPECT_EQ(status, 128 + signal_number);
      EXPECT_EQ(read_file(dir / d.output_name), "earlier");
      const std::vector<fs::path> left = temp_files(dir.path);
      EXPECT_EQ(left.size(), signal_number == SIGKILL ? 1u : 0u);
      EXPECT_EQ(dir.entries().size(), 2 + left.size());
    }
  }
}

// An interrupt while a file mode writes its target: the earlier target stays and no temporary
// file remains. A FIFO as the source holds the tool in the middle of its work.
TEST(Interrupts, FileModesLeaveTheEarlierTarget) {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal_number));
    ScratchDir dir;
    write_file(dir / "out", "earlier");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    Started tool =
        start_tool({"-e", "fifo", "out"}, {.cwd = dir.path, .append_to = {{1, "/dev/null"}}});
    const int feed = open((dir / "fifo").c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    // More than the tool reads at once: it starts its output, then waits for the rest.
    const std::string some(1200000, 'x');
    for (std::size_t done = 0; done < some.size();) {
      const ssize_t n = write(feed, some.data() + done, some.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
    // Wait until the temporary file exists, then interrupt.
    for (int i = 0; i < 500 && dir.entries().size() < 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(dir.entries().size(), 3u);
    kill(tool.pid, signal_number);
    const RunResult run = finish(tool);
    close(feed);
    EXPECT_EQ(run.signal, signal_number);
    EXPECT_EQ(dir.entries(), (Names{"fifo", "out"}));
    EXPECT_EQ(read_file(dir / "out"), "earlier");
  }
}

// ---- Standard output -------------------------------------------------------------------------

// Messages are the tool's output: when standard output cannot take them, the files are still
// written, and the run fails with one line on standard error, whatever the mode.
TEST(FailingStandardOutput, EveryModeFailsAndStillWritesItsFiles) {
  ScratchDir dir;
  write_file(dir / "phone.tbl", phone_table());
  write_file(dir / "data", "abc");
  const Names runs[] = {{}, {"-h"}, {"phone.tbl"}, {"-c", "data", "out"}};
  for (const Names& args : runs) {
    SCOPED_TRACE(args.empty() ? "no arguments" : args.front());
    const RunResult run = run_tool(args, {.cwd = dir.path, .stdout_to_dev_full = true});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "tbl2tblx: cannot write to standard output\n");
  }
  EXPECT_EQ(dir.entries(), (Names{"data", "out", "phone.tbl", "phone.tblx"}));
  EXPECT_EQ(read_file(dir / "out"), "YWJj");
}

// Messages and thousands of progress lines all fail to reach the console; the files are still
// right, and a failing conversion still leaves nothing. The run fails, with one line on standard
// error.
TEST(FailingStandardOutput, ConversionsStillCompleteOrFailCleanly) {
  ScratchDir dir;
  const std::string table = records_table("t", 5000);
  write_file(dir / "t.tbl", table);
  const RunOptions full{.cwd = dir.path, .stdout_to_dev_full = true};
  const std::string complaint = "tbl2tblx: cannot write to standard output\n";
  RunResult run = run_tool({"t.tbl"}, full);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, complaint);
  fs::rename(dir / "t.tbl", dir / "first.tbl");
  run = run_tool({"t.tblx"}, full);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, complaint);
  EXPECT_TRUE(read_file(dir / "t.tbl") == table);

  write_file(dir / "bad.tbl", table.substr(0, table.size() - 1));
  run = run_tool({"bad.tbl"}, full);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(dir.entries(), (Names{"bad.tbl", "first.tbl", "t.tbl", "t.tblx"}));
}

// ---- Memory ----------------------------------------------------------------------------------

// The smallest address space (to 64 KiB) in which the plain tool converts a tiny input: what it
// needs whatever the input, its buffers included.
std::int64_t baseline(const std::string& input, std::string_view content,
                      const std::string& output) {
  ScratchDir dir;
  write_file(dir / input, content);
  auto converts = [&](std::int64_t limit) {
    fs::remove(dir / output);
    const RunResult run =
        run_tool({input}, {.cwd = dir.path, .plain = true, .memory_limit = limit});
    return run.status == 0 && testing_support::exists(dir / output);
  };
  std::int64_t fails = 0, works = 1024 * kMiB;
  EXPECT_TRUE(converts(works));
  while (works - fails > 64 * 1024) {
    const std::int64_t middle = (fails + works) / 2;
    (converts(middle) ? works : fails) = middle;
  }
  return works;
}

std::int64_t table_baseline() {
  static const std::int64_t measured = baseline("tiny.tbl", records_table("tiny", 3), "tiny.tblx");
  return measured;
}

std::int64_t document_baseline() {
  static const std::int64_t measured = baseline("t.tblx", document(1, 0, {3}), "t.tbl");
  return measured;
}

// Tables are read through a window: whatever their size, the plain tool converts them within
// the address space it needs for a tiny one, and a megabyte of slack for the measurement's
// granularity. Here 257 MiB of 16 MiB blobs and 64 KiB strings (values far larger than the
// window), two million small records, and the blobs again through a FIFO; all within 256 MiB.
TEST(Memory, TablesOfAnySizeConvertInConstantMemory) {
  const std::int64_t limit = table_baseline() + kMiB;
  EXPECT_LT(limit, 256 * kMiB);
  ScratchDir there;
  link_into(blob_table(), there.path, "blobs.tbl");
  link_into(many_records_table(), there.path, "big.tbl");
  RunResult run =
      run_tool({"blobs.tbl"}, {.cwd = there.path, .plain = true, .memory_limit = limit});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, banner() + "blobs.tbl => blobs.tblx...\n" +
                         progress_lines("blobs", "+", 16, 16) + "\n");
  run = run_tool({"big.tbl"}, {.cwd = there.path, .plain = true, .memory_limit = limit});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.starts_with(banner() + "big.tbl => big.tblx...\n"));
  EXPECT_TRUE(run.out.ends_with(progress("big", "+", 2'000'000, 2'000'000) + "\n"));
  EXPECT_EQ(there.entries(), (Names{"big.tbl", "big.tblx", "blobs.tbl", "blobs.tblx"}));

  ScratchDir piped;
  ASSERT_EQ(mkfifo((piped / "blobs.tbl").c_str(), 0600), 0);
  std::thread feeder([&] {
    std::ifstream from(blob_table(), std::ios::binary);
    std::ofstream into(piped / "blobs.tbl", std::ios::binary);
    into << from.rdbuf();
  });
  run = run_tool({"blobs.tbl"}, {.cwd = piped.path, .plain = true, .memory_limit = limit});
  feeder.join();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, banner() + "blobs.tbl => blobs.tblx...\n" +
                         progress_lines("blobs", "+", 16, 16) + "\n");
  EXPECT_TRUE(same_content(piped / "blobs.tblx", there / "blobs.tblx", true));
}

// Documents are read through a window too: a document of 300 MiB and more whose 16 MiB blobs
// and 64 KiB strings are far longer than the window converts within the address space the
// plain tool needs for a tiny one and a megabyte, from a file and through a FIFO.
TEST(Memory, DocumentsOfAnySizeConvertInConstantMemory) {
  const std::int64_t limit = document_baseline() + kMiB;
  EXPECT_LT(limit, 256 * kMiB);
  ScratchDir there, back, piped;
  link_into(blob_table(), there.path, "blobs.tbl");
  RunResult run = run_tool({"blobs.tbl"}, {.cwd = there.path, .plain = true});
  ASSERT_EQ(run.status, 0);
  fs::rename(there / "blobs.tblx", back / "blobs.tblx");
  EXPECT_GT(static_cast<std::int64_t>(fs::file_size(back / "blobs.tblx")), 300 * kMiB);
  const std::string converted =
      banner() + "blobs.tblx =>\n\tblobs.tbl...\n" + progress_lines("blobs", "+", 16) + "\n";
  run = run_tool({"blobs.tblx"}, {.cwd = back.path, .plain = true, .memory_limit = limit});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, converted);
  EXPECT_EQ(back.entries(), (Names{"blobs.tbl", "blobs.tblx"}));
  EXPECT_TRUE(same_content(back / "blobs.tbl", blob_table()));

  ASSERT_EQ(mkfifo((piped / "blobs.tblx").c_str(), 0600), 0);
  std::thread feeder([&] {
    std::ifstream from(back / "blobs.tblx", std::ios::binary);
    std::ofstream into(piped / "blobs.tblx", std::ios::binary);
    into << from.rdbuf();
  });
  run = run_tool({"blobs.tblx"}, {.cwd = piped.path, .plain = true, .memory_limit = limit});
  feeder.join();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, converted);
  EXPECT_TRUE(same_content(piped / "blobs.tbl", blob_table()));
}

// Counts that claim billions of fields, records or bytes are checked against what the file
// holds before anything is walked or reserved: the plain tool fails at once in its baseline
// address space and a megabyte.
TEST(Memory, CountsClaimingBillionsFailAtOnce) {
  const Table one_field{.name = "t", .fields = {{1, "f", kString}}};
  Table billions = one_field;
  billions.nrecord = 0xFFFFFFFF;
  Table headerless = billions;
  headerless.header_form = false;
  headerless.name = "x";
  Table long_value = one_field;
  long_value.records = {{tbl2tblx::kNone, {bytes({1, kString}) + le(0xFFFFFFFF, 4) + "a"}}};
  struct Case {
    const char* what;
    std::string table;
  } cases[] = {
      {"ninfo", file_header() + padded("t", tbl2tblx::kTableNameWidth) + le(0xFFFFFFFF, 4) +
                    bytes({0xFF, 0}) + le(0, 4)},
      {"nrecord", encode(billions) + bytes({0xFF, 0})},
      {"nrecord without a header", encode(headerless) + bytes({0})},
      {"a value's length", encode(long_value)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    write_file(dir / "x.tbl", c.table);
    write_file(dir / "x.tblx", "earlier");
    const auto start = Clock::now();
    const RunResult run = run_tool(
        {"x.tbl"}, {.cwd = dir.path, .plain = true, .memory_limit = table_baseline() + kMiB});
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(run.out, banner() + "x.tbl => x.tblx...\nWarning: EOF mismatched\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(dir / "x.tblx"), "earlier");
    EXPECT_EQ(dir.entries(), (Names{"x.tbl", "x.tblx"}));
  }
}

}  // namespace
