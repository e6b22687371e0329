// Binary tables to documents: the exact document and console text of a small table, a table of
// binary cases through the file-free walk, the command line (names, failures, what is left on
// disk), large values, and every truncation of valid files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base64/base64.hpp"
#include "convert/convert.hpp"
#include "documents.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "support.hpp"
#include "tables.hpp"

namespace {

using namespace testing_support;
using tbl2tblx::TableOutcome;

// ---- Building binary tables ------------------------------------------------------------------

// Table name, ninfo, the fieldinfo records and skeyid.
std::string schema(std::string_view table, const std::vector<Field>& fields, int skeyid) {
  std::string out = padded(table, tbl2tblx::kTableNameWidth) + le(fields.size(), 4);
  for (const Field& field : fields)
    out += fieldinfo(field.id, field.name, field.type);
  return out + bytes({skeyid});
}

std::string groups(const std::vector<std::string>& names) {
  std::string out = bytes({static_cast<int>(names.size())});
  for (const std::string& name : names)
    out += padded(name, tbl2tblx::kNameFieldWidth);
  return out;
}

// A header-form append table "t" with one string field, no groups and the given records.
std::string simple_table(const std::vector<std::string>& records) {
  std::string out = file_header(0) + schema("t", {{1, "f", 2}}, 0xFF) + groups({});
  out += le(records.size(), 4);
  for (const std::string& r : records)
    out += r;
  return out;
}

// ---- Running the walk in-process -------------------------------------------------------------

// Progress lines of in-process walks go to /dev/null instead of the test log.
const tbl2tblx::DocumentHead kHead{"t.tblx", "in/t.tbl", 2024, 3, 9, 7, 5, 0};

// Line ends of a written document are CR LF pairs and nothing else.
bool only_crlf_line_ends(std::string_view document) {
  for (std::size_t i = 0; i < document.size(); ++i) {
    if (document[i] == '\r' && (i + 1 == document.size() || document[i + 1] != '\n')) return false;
    if (document[i] == '\n' && (i == 0 || document[i - 1] != '\r')) return false;
  }
  return true;
}

testing::AssertionResult well_formed(const std::filesystem::path& document) {
  const RunResult check = shell("xmllint --noout " + quote(document));
  if (check.status == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << check.out;
}

struct Walked {
  TableOutcome outcome;
  std::string document;  // as committed; empty unless complete
};

// How the walk is fed: the whole table at once, or through a tiny window from reads of a few
// bytes each, so that every field and value straddles a refill; of a known size (a file) or not
// (a pipe).
struct Feed {
  std::size_t window;
  std::size_t piece;  // 0: all at once
  bool size_known;
};
constexpr Feed kWholeFile{tbl2tblx::kInputWindowSize, 0, true};
constexpr Feed kFeeds[] = {kWholeFile,    {64, 0, true}, {64, 7, false},
                           {24, 1, true}, {1, 3, false}, {tbl2tblx::kInputWindowSize, 5, false}};

Walked convert_fed(std::span<const std::uint8_t> table, const tbl2tblx::DocumentHead& head,
                   const Feed& feed) {
  ScratchDir dir;
  const auto path = dir / "t.tblx";
  tbl2tblx::InputWindow in;
  EXPECT_EQ(tbl2tblx::input_window_from_memory(in, table, feed.window, feed.piece, feed.size_known),
            0);
  tbl2tblx::OutputFile out;
  EXPECT_EQ(tbl2tblx::output_open(out, path.c_str()), 0);
  Walked result{};
  CapturedConsole console;  // the progress lines are not looked at here
  result.outcome = tbl2tblx::write_table_document(in, head, out, console.run);
  if (result.outcome != TableOutcome::kComplete) {
    tbl2tblx::output_discard(out);
    return result;
  }
  EXPECT_EQ(tbl2tblx::output_commit(out), 0);
  result.document = read_file(path);
  return result;
}

// Every feed gives the same outcome and document as the whole file at once.
Walked convert(std::span<const std::uint8_t> table, const tbl2tblx::DocumentHead& head = kHead) {
  const Walked whole = convert_fed(table, head, kWholeFile);
  for (const Feed& feed : kFeeds) {
    SCOPED_TRACE(testing::Message() << "window " << feed.window << ", reads of " << feed.piece
                                    << (feed.size_known ? ", size known" : ", size unknown"));
    const Walked fed = convert_fed(table, head, feed);
    EXPECT_EQ(fed.outcome, whole.outcome);
    EXPECT_TRUE(fed.document == whole.document);
  }
  if (whole.outcome == TableOutcome::kComplete) {
    ScratchDir dir;
    write_file(dir / "t.tblx", whole.document);
    EXPECT_TRUE(only_crlf_line_ends(whole.document));
    EXPECT_TRUE(well_formed(dir / "t.tblx"));
  }
  return whole;
}

Walked convert(std::string_view table) {
  return convert({reinterpret_cast<const std::uint8_t*>(table.data()), table.size()});
}

TEST(TblToTblx, WorkedExampleGivesTheExactDocument) {
  const std::string table = phone_table();
  ASSERT_EQ(table.size(), 123u);
  ASSERT_EQ(read_file(source_dir() / "examples/phone.tbl"), table);
  const tbl2tblx::DocumentHead head{"phone.tblx", "data/phone.tbl", 987, 12, 31, 23, 5, 9};
  const Walked converted =
      convert({reinterpret_cast<const std::uint8_t*>(table.data()), table.size()}, head);
  ASSERT_EQ(converted.outcome, TableOutcome::kComplete);
  EXPECT_EQ(converted.document,
            crlf(phone_document_lines("data/phone.tbl", "0987-12-31 23:05:09")));
}

TEST(TblToTblx, WorkedExampleOnTheCommandLine) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "data");
  write_file(dir / "data/phone.tbl", phone_table());
  const RunResult run = run_tool({"data/phone.tbl"}, {.cwd = dir.path});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            banner() + "data/phone.tbl => phone.tblx...\n" + progress("phone", "+", 1, 1) + "\n");

  const std::string document = read_file(dir / "phone.tblx");
  const std::regex date_line("\t\t<date>(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)</date>\r\n");
  std::smatch date;
  ASSERT_TRUE(std::regex_search(document, date, date_line));
  EXPECT_EQ(document, crlf(phone_document_lines("data/phone.tbl", date[1].str())));
  EXPECT_TRUE(well_formed(dir / "phone.tblx"));
}

// ---- Binary cases --------------------------------------------------------------------------

// The expected fielddata element of a value.
std::string fielddata_lines(int id, std::string_view type, std::string_view content,
                            bool b64 = false) {
  return "\t\t\t\t\t<fielddata>\n\t\t\t\t\t\t<id>" + std::to_string(id) +
         "</id>\n\t\t\t\t\t\t<type>" + std::string(type) + "</type>\n\t\t\t\t\t\t<content" +
         (b64 ? " encoding=\"b64\">" : ">") + std::string(content) +
         "</content>\n\t\t\t\t\t</fielddata>\n";
}

std::string fieldinfo_lines(int id, std::string_view name, std::string_view type) {
  return "\t\t\t\t<fieldinfo>\n\t\t\t\t\t<id>" + std::to_string(id) + "</id>\n\t\t\t\t\t<name>" +
         std::string(name) + "</name>\n\t\t\t\t\t<type>" + std::string(type) +
         "</type>\n\t\t\t\t</fieldinfo>\n";
}

struct BinaryCase {
  std::string what;
  std::string table;
  TableOutcome outcome;
  std::string fragment;  // LF form, expected in the document (with its CR LF) when complete
};

std::vector<BinaryCase> binary_cases() {
  const std::string t_schema =
      "\t\t\t<schema ninfo=\"1\">\n" + fieldinfo_lines(1, "f", "string") + "\t\t\t</schema>\n";
  const std::string twenty(20, 'n');
  const std::string amps(20, '&');
  std::string amp_entities;
  for (int i = 0; i < 20; ++i)
    amp_entities += "&amp;";
  Table phone_in_group_1 = phone();
  phone_in_group_1.records[0].group = 1;
  return {
      {"headerless: append, no groups, no group bytes",
       schema("legacy", {{1, "f", 2}}, 0xFF) + le(1, 4) + bytes({1}) + text(1, "v"),
       TableOutcome::kComplete,
       "\t\t<table write=\"append\">\n\t\t\t<name>legacy</name>\n" + t_schema +
           "\t\t\t<records nrecord=\"1\">\n\t\t\t\t<record ndata=\"1\">\n" +
           fielddata_lines(1, "string", "v") + "\t\t\t\t</record>\n\t\t\t</records>\n"},
      {"any nonzero write byte is overwrite; skeyid 0 is shown; ngroup 0 and group 0xFF show none",
       file_header(0x7F) + schema("t", {{1, "f", 2}}, 0) + groups({}) + le(1, 4) + record(0xFF, {}),
       TableOutcome::kComplete,
       "\t\t<table write=\"overwrite\">\n\t\t\t<name>t</name>\n\t\t\t<schema ninfo=\"1\">\n"
       "\t\t\t\t<skeyid>0</skeyid>\n" +
           fieldinfo_lines(1, "f", "string") +
           "\t\t\t</schema>\n\t\t\t<records nrecord=\"1\">\n\t\t\t\t<record ndata=\"0\">\n"
           "\t\t\t\t</record>\n\t\t\t</records>\n"},
      {"no fields, no records", file_header(1) + schema("t", {}, 0xFF) + groups({}) + le(0, 4),
       TableOutcome::kComplete,
       "\t\t\t<schema ninfo=\"0\">\n\t\t\t</schema>\n\t\t\t<records nrecord=\"0\">\n"
       "\t\t\t</records>\n\t\t</table>\n"},
      {"ids and small counts of one to three digits",
       file_header(0) + schema("t", {{255, "f", 2}}, 254) + groups({}) + le(1, 4) +
           record(0xFF, {int2(0, 0), int2(9, 9), int2(10, 10), int2(99, 99), int2(100, 100),
                         int2(255, 255)}),
       TableOutcome::kComplete,
       "\t\t\t\t<skeyid>254</skeyid>\n" + fieldinfo_lines(255, "f", "string") +
           "\t\t\t</schema>\n\t\t\t<records nrecord=\"1\">\n\t\t\t\t<record ndata=\"6\">\n" +
           fielddata_lines(0, "int2", "0") + fielddata_lines(9, "int2", "9") +
           fielddata_lines(10, "int2", "10") + fielddata_lines(99, "int2", "99") +
           fielddata_lines(100, "int2", "100") + fielddata_lines(255, "int2", "255")},
      {"int2 and int4 extremes",
       simple_table(
           {record(0xFF, {int2(1, -32768), int2(2, 32767), entry(3, 0, bytes({0xFF, 0xFF})),
                          int4(4, INT32_MIN), int4(5, INT32_MAX), int4(6, 0)})}),
       TableOutcome::kComplete,
       fielddata_lines(1, "int2", "-32768") + fielddata_lines(2, "int2", "32767") +
           fielddata_lines(3, "int2", "-1") + fielddata_lines(4, "int4", "-2147483648") +
           fielddata_lines(5, "int4", "2147483647") + fielddata_lines(6, "int4", "0")},
      {"int4 values on each side of every power of ten",
       simple_table({record(0xFF, {int4(1, 9), int4(2, 10), int4(3, 99999), int4(4, 100000),
                                   int4(5, 999999999), int4(6, 1000000000), int4(7, -9),
                                   int4(8, -10), int4(9, -99999999), int4(10, -100000000)})}),
       TableOutcome::kComplete,
       fielddata_lines(1, "int4", "9") + fielddata_lines(2, "int4", "10") +
           fielddata_lines(3, "int4", "99999") + fielddata_lines(4, "int4", "100000") +
           fielddata_lines(5, "int4", "999999999") + fielddata_lines(6, "int4", "1000000000") +
           fielddata_lines(7, "int4", "-9") + fielddata_lines(8, "int4", "-10") +
           fielddata_lines(9, "int4", "-99999999") + fielddata_lines(10, "int4", "-100000000")},
      {"escapes in strings; quotes and high bytes pass",
       simple_table({record(0xFF, {text(1, "a&b<c>d \"q\" 'a' \xE9\t")})}), TableOutcome::kComplete,
       fielddata_lines(1, "string", "a&amp;b&lt;c&gt;d \"q\" 'a' \xE9\t")},
      {"line breaks: CR LF, lone CR, LF, a CR that ends the data",
       simple_table({record(0xFF, {text(1, "x\r\ny"), text(2, "x\ry"), text(3, "x\ny"),
                                   entry(4, 2, "x\r"), text(5, "\r\r\n\n")})}),
       TableOutcome::kComplete,
       fielddata_lines(1, "string", "x\ny") + fielddata_lines(2, "string", "x\ny") +
           fielddata_lines(3, "string", "x\ny") + fielddata_lines(4, "string", "x\n") +
           fielddata_lines(5, "string", "\n\n\n")},
      {"a string stops at its first zero; empty strings",
       simple_table({record(0xFF, {entry(1, 2, std::string("ab\0cd\0", 6)), entry(2, 2, ""),
                                   entry(3, 2, std::string("\0z", 2))})}),
       TableOutcome::kComplete,
       fielddata_lines(1, "string", "ab") + fielddata_lines(2, "string", "") +
           fielddata_lines(3, "string", "")},
      {"names of 20 characters, a field name field without a zero, escaped and empty names",
       file_header(0) +
           schema(twenty, {{1, std::string(21, 'f'), 2}, {2, "", 0}, {3, "<&>", 9}}, 0xFF) +
           groups({amps, ""}) + le(2, 4) + record(0, {}) + record(1, {}),
       TableOutcome::kComplete,
       "\t\t\t<name>" + twenty + "</name>\n\t\t\t<schema ninfo=\"3\">\n" +
           fieldinfo_lines(1, std::string(20, 'f'), "string") + fieldinfo_lines(2, "", "int2") +
           fieldinfo_lines(3, "&lt;&amp;&gt;", "blob") +
           "\t\t\t</schema>\n\t\t\t<groups ngroup=\"2\">\n" + "\t\t\t\t<group>" + amp_entities +
           "</group>\n\t\t\t\t<group></group>\n" +
           "\t\t\t</groups>\n\t\t\t<records nrecord=\"2\">\n\t\t\t\t<record ndata=\"0\">\n" +
           "\t\t\t\t\t<group>" + amp_entities + "</group>\n\t\t\t\t</record>\n" +
           "\t\t\t\t<record ndata=\"0\">\n\t\t\t\t\t<group></group>\n\t\t\t\t</record>\n"},
      {"blobs, empty blobs, unknown type codes",
       simple_table(
           {record(0xFF, {blob(1, bytes({0, 1, 2})), blob(2, ""), entry(3, 7, bytes({0, 1, 2})),
                          entry(4, 0xFF, ""), blob(5, "\xFF\xFE\xFD\xFC")})}),
       TableOutcome::kComplete,
       fielddata_lines(1, "blob", "AAEC", true) + fielddata_lines(2, "blob", "", true) +
           fielddata_lines(3, "blob", "AAEC") + fielddata_lines(4, "blob", "") +
           fielddata_lines(5, "blob", "//79/A==", true)},

      {"an empty file", "", TableOutcome::kMismatched, ""},
      {"one byte more than the contents", phone_table() + bytes({0}), TableOutcome::kMismatched,
       ""},
      {"cut in the last value", phone_table().substr(0, phone_table().size() - 1),
       TableOutcome::kMismatched, ""},
      {"four billion records in ten bytes",
       simple_table({}).substr(0, simple_table({}).size() - 4) + le(0xFFFFFFFF, 4) +
           std::string(10, '\1'),
       TableOutcome::kMismatched, ""},
      {"ninfo past the end",
       file_header(0) + padded("t", tbl2tblx::kTableNameWidth) + le(0xFFFFFFFF, 4) + bytes({0xFF}),
       TableOutcome::kMismatched, ""},
      {"ngroup past the end",
       file_header(0) + schema("t", {}, 0xFF) + bytes({3}) + padded("g", tbl2tblx::kNameFieldWidth),
       TableOutcome::kMismatched, ""},
      {"a value length past the end",
       simple_table({record(0xFF, {bytes({1, 2}) + le(0xFFFFFFFF, 4) + "abc"})}),
       TableOutcome::kMismatched, ""},
      {"an int2 of length 3", simple_table({record(0xFF, {entry(1, 0, "abc")})}),
       TableOutcome::kDamaged, ""},
      {"an int4 of length 2", simple_table({record(0xFF, {entry(1, 1, "ab")})}),
       TableOutcome::kDamaged, ""},
      {"a group byte past the groups", encode(phone_in_group_1), TableOutcome::kDamaged, ""},
      {"a group byte with no groups", simple_table({record(0, {})}), TableOutcome::kDamaged, ""},
      {"a group name that repeats, as a document cannot name it",
       file_header(0) + schema("t", {}, 0xFF) + groups({"g", "h", std::string("g\0x", 3)}) +
           le(1, 4) + record(2, {}),
       TableOutcome::kDamaged, ""},
  };
}

TEST(TblToTblx, BinaryCases) {
  for (const BinaryCase& c : binary_cases()) {
    SCOPED_TRACE(c.what);
    const Walked converted = convert(c.table);
    EXPECT_EQ(converted.outcome, c.outcome);
    if (c.outcome != TableOutcome::kComplete) continue;
    EXPECT_NE(converted.document.find(crlf(c.fragment)), std::string::npos) << converted.document;
  }
}

// Short strings and blobs are written a block at a time when the window holds enough bytes after
// them. Every length up to past the blocks, every byte that needs escaping (or ends the text) at
// every position, and random blob bytes: convert() holds each document to the one made through
// windows too small for the blocks.
TEST(TblToTblx, ShortValuesMatchTheByteWisePath) {
  std::mt19937 rng(20261210);
  std::vector<std::string> records;
  for (std::size_t length = 0; length <= 30; ++length) {
    std::string plain(length, ' ');
    for (std::size_t i = 0; i < length; ++i)
      plain[i] = static_cast<char>('a' + i % 26);
    std::vector<std::string> values = {entry(1, tbl2tblx::kString, plain), text(2, plain)};
    for (const char special : {'&', '<', '>', '\r', '\n', '\0'}) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string value = plain;
        value[at] = special;
        values.push_back(entry(3, tbl2tblx::kString, value));
      }
    }
    std::string data(length, '\0');
    for (char& byte : data)
      byte = static_cast<char>(rng());
    values.push_back(blob(4, data));
    records.push_back(record(0xFF, values));
  }
  EXPECT_EQ(convert(simple_table(records)).outcome, TableOutcome::kComplete);
}

// Values far larger than the output buffer stream through it in pieces.
TEST(TblToTblx, LargeValuesStreamThroughTheBuffer) {
  std::string big_text;
  for (int i = 0; i < 400000; ++i)
    big_text += "&x\r\n";  // 1.6 MB, 4 MB escaped
  std::string big_blob(3'000'001, '\0');
  for (std::size_t i = 0; i < big_blob.size(); ++i)
    big_blob[i] = static_cast<char>(i * 7 % 251);

  const Walked converted =
      convert(simple_table({record(0xFF, {text(1, big_text), blob(2, big_blob)})}));
  ASSERT_EQ(converted.outcome, TableOutcome::kComplete);

  std::string escaped;
  for (int i = 0; i < 400000; ++i)
    escaped += "&amp;x\r\n";
  EXPECT_NE(converted.document.find("<content>" + escaped + "</content>\r\n"), std::string::npos);
  EXPECT_NE(converted.document.find("<content encoding=\"b64\">" +
                                    base64_encoded(big_blob, tbl2tblx::kBase64Unbroken) +
                                    "</content>\r\n"),
            std::string::npos);
}

// Every prefix of a valid table, alone in an allocation of its exact size, converts to nothing,
// whether its end is known beforehand or met in a refill; AddressSanitizer catches any read past
// it.
TEST(TblToTblx, EveryTruncationFails) {
  for (const std::string& table : {phone_table(), read_file(source_dir() / "examples/staff.tbl"),
                                   read_file(source_dir() / "examples/notes.tbl")}) {
    ASSERT_FALSE(table.empty());
    for (std::size_t size = 0; size <= table.size(); ++size) {
      SCOPED_TRACE(size);
      auto exact = std::make_unique<std::uint8_t[]>(size);
      std::memcpy(exact.get(), table.data(), size);
      for (const Feed& feed : {kWholeFile, Feed{64, 0, false}, Feed{16, 3, true}}) {
        const Walked converted = convert_fed({exact.get(), size}, kHead, feed);
        EXPECT_EQ(converted.outcome == TableOutcome::kComplete, size == table.size());
      }
    }
  }
}

// ---- The command line ----------------------------------------------------------------------

struct RunCase {
  std::string what;
  std::vector<std::pair<std::string, std::string>> files;  // created before the run
  std::vector<std::string> args;
  std::string out;                   // after the banner
  std::vector<std::string> entries;  // the folder afterwards (the data folder not included)
  std::vector<std::pair<std::string, std::string>> kept;  // files whose content must not change
  int status = 0;                                         // 1 when a conversion failed
};

std::vector<RunCase> run_cases() {
  const std::string phone = phone_table();
  const std::string bad_int = simple_table({record(0xFF, {entry(1, 0, "abc")})});
  return {
      {"a directory and an upper-case extension",
       {{"data/PHONE.TBL", phone}},
       {"data/PHONE.TBL"},
       "data/PHONE.TBL => PHONE.tblx...\n" + progress("phone", "+", 1, 1) + "\n",
       {"PHONE.tblx", "data"},
       {}},
      {"a backslash separates a directory too; overwrite has no marker",
       {{"in\\Mixed.Tbl", phone_table(1)}},
       {"in\\Mixed.Tbl"},
       "in\\Mixed.Tbl => Mixed.tblx...\n" + progress("phone", "", 1, 1) + "\n",
       {"Mixed.tblx", "in\\Mixed.Tbl"},
       {}},
      {"other names are not this converter's",
       {{"x.tbl.bak", phone}, {".tbl", phone}},
       {"x.tbl.bak", ".tbl", "x.tb"},
       "",
       {".tbl", "x.tbl.bak"},
       {}},
      {"a table without records ends its line at once",
       {{"e.tbl", simple_table({})}},
       {"e.tbl"},
       "e.tbl => e.tblx...\n\n",
       {"e.tbl", "e.tblx"},
       {}},
      {"a missing file", {}, {"missing.tbl"}, "missing.tbl: Cannot read the file\n", {}, {}, 1},
      {"one byte too many keeps the earlier document",
       {{"phone.tbl", phone + bytes({0})}, {"phone.tblx", "earlier"}},
       {"phone.tbl"},
       "phone.tbl => phone.tblx...\n" + progress("phone", "+", 1, 1) + "Warning: EOF mismatched\n",
       {"phone.tbl", "phone.tblx"},
       {{"phone.tblx", "earlier"}},
       1},
      {"a damaged file is refused with its name",
       {{"bad.tbl", bad_int}},
       {"bad.tbl"},
       "bad.tbl => bad.tblx...\nbad.tbl: Damaged table file\n",
       {"bad.tbl"},
       {},
       1},
      {"a folder under the document's name",
       {{"phone.tbl", phone}, {"phone.tblx/keep", ""}},
       {"phone.tbl"},
       "phone.tblx: Cannot write the file\n",
       {"phone.tbl", "phone.tblx"},
       {},
       1},
      {"the batch goes on after a failure, which fails it",
       {{"bad.tbl", bad_int}, {"phone.tbl", phone}},
       {"bad.tbl", "phone.tbl"},
       "bad.tbl => bad.tblx...\nbad.tbl: Damaged table file\nphone.tbl => phone.tblx...\n" +
           progress("phone", "+", 1, 1) + "\n",
       {"bad.tbl", "phone.tbl", "phone.tblx"},
       {},
       1},
  };
}

// A document the run wrote is never replaced by a later one of the run, whatever name or link
// reaches it: the later conversion fails and the first document stays.
TEST(TblToTblx, NoDocumentReplacesOneTheRunWrote) {
  ScratchDir dir;
  std::filesystem::create_directories(dir / "a");
  std::filesystem::create_directories(dir / "c");
  write_file(dir / "a" / "phone.tbl", phone_table());
  write_file(dir / "c" / "phone.tbl", phone_table(1));
  write_file(dir / "c" / "alias.tbl", phone_table(1));
  std::filesystem::create_symlink("phone.tblx", dir / "alias.tblx");
  const RunResult run = run_tool({"a/phone.tbl", "c/phone.tbl", "c/alias.tbl"}, {.cwd = dir.path});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            banner() + "a/phone.tbl => phone.tblx...\n" + progress("phone", "+", 1, 1) +
                "\nphone.tblx: Cannot write the file\nalias.tblx: Cannot write the file\n");
  const std::string kept = read_file(dir / "phone.tblx");
  EXPECT_NE(kept.find("a/phone.tbl"), std::string::npos);
  EXPECT_EQ(kept.find("c/"), std::string::npos);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "alias.tblx", "c", "phone.tblx"}));
}

TEST(TblToTblx, CommandLine) {
  for (const RunCase& c : run_cases()) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    for (const auto& [name, content] : c.files) {
      std::filesystem::create_directories((dir / name).parent_path());
      write_file(dir / name, content);
    }
    const RunResult run = run_tool(c.args, {.cwd = dir.path});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, banner() + c.out);
    std::vector<std::string> entries = dir.entries();
    std::erase(entries, "data");
    std::vector<std::string> expected = c.entries;
    std::erase(expected, "data");
    EXPECT_EQ(entries, expected);
    for (const auto& [name, content] : c.kept)
      EXPECT_EQ(read_file(dir / name), content);
    for (const std::string& name : entries) {
      const bool kept =
          std::ranges::any_of(c.kept, [&](const auto& file) { return file.first == name; });
      if (name.ends_with(".tblx") && !kept && std::filesystem::is_regular_file(dir / name)) {
        EXPECT_TRUE(well_formed(dir / name)) << name;
      }
    }
  }
}

}  // namespace
