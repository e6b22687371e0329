// The XML Schema share/tblx.xsd against the documents the tool writes: every document written for
// the examples, for edge tables and for random tables validates with xmllint; documents that
// depart from the layout in ways the schema can express are refused; the forms the reader accepts
// beyond the written one (several tables, a default group, the secret mark) pass both.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.hpp"
#include "tables.hpp"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// ---- Binary tables ---------------------------------------------------------------------------

using tbl2tblx::kBlob;
using tbl2tblx::kInt2;
using tbl2tblx::kInt4;
using tbl2tblx::kNone;
using tbl2tblx::kString;

// A name of 20 characters, different for each n, with every character XML escapes.
std::string escaped_name(int n) {
  std::string name = "<&>" + std::to_string(n);
  name.resize(20, '&');
  return name;
}

// Every limit of the layout in one table.
Table full_table() {
  Table t{.write_mode = tbl2tblx::kOverwrite, .name = std::string(20, '&'), .skeyid = 254};
  t.fields = {{0, "", kInt2},
              {1, "int4", kInt4},
              {2, "text\r\nline", kString},
              {255, escaped_name(0), kBlob},
              {9, "unknown type", 9}};
  for (int i = 0; i < 255; ++i)
    t.groups.push_back(escaped_name(i));
  t.groups[7] = "";
  Record extremes{.group = 254};
  extremes.values = {int2(0, -32768),
                     int2(0, 32767),
                     int4(1, INT32_MIN),
                     int4(1, INT32_MAX),
                     text(2, ""),
                     entry(2, kString, ""),
                     blob(255, ""),
                     blob(255, bytes({0, 1, 2})),
                     entry(9, 7, "raw"),
                     entry(9, 200, ""),
                     text(2, "tab\there, CR LF\r\n, CR\r, LF\n, \xA0\xE9\xFF &<>\"'")};
  Record widest{.group = 0};
  for (int i = 0; i < 255; ++i)
    widest.values.push_back(int2(i, static_cast<std::int16_t>(i)));
  t.records = {extremes, widest, Record{}, Record{.group = 7, .values = {text(2, "x")}}};
  return t;
}

Table headerless_table() {
  Table t{.header_form = false, .name = "old form", .skeyid = 0};
  t.fields = {{1, "who", kString}, {2, "pic", kBlob}};
  t.records = {{kNone, {text(1, "Ann"), blob(2, "\x89PNG")}}, {kNone, {}}};
  return t;
}

// Bytes XML can carry as text: tab, line breaks, and 0x20 to 0xFF (the document is ISO-8859-1).
std::string random_text(std::mt19937& rng, std::size_t max_length, bool line_breaks) {
  static const std::string alphabet = [] {
    std::string all = "\t";
    for (int c = 0x20; c <= 0xFF; ++c)
      all += static_cast<char>(c);
    return all;
  }();
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> breaks(0, 15);
  std::string result(length(rng), ' ');
  for (char& c : result) {
    const int b = breaks(rng);
    c = line_breaks && b == 0 ? '\r' : line_breaks && b == 1 ? '\n' : alphabet[pick(rng)];
  }
  return result;
}

std::string random_bytes(std::mt19937& rng, std::size_t max_length) {
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<int> any(0, 255);
  std::string result(length(rng), '\0');
  for (char& c : result)
    c = static_cast<char>(any(rng));
  return result;
}

Table random_table(unsigned seed) {
  std::mt19937 rng(seed);
  auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  Table t{.header_form = below(4) != 0,
          .write_mode = below(2) == 0 ? tbl2tblx::kOverwrite : tbl2tblx::kAppend};
  t.name = random_text(rng, 20, true);
  if (!t.header_form && t.name.empty()) t.name = "x";  // its first byte tells the form
  t.skeyid = below(256);
  for (int i = below(6); i > 0; --i)
    t.fields.push_back({below(256), random_text(rng, 20, true), below(5)});
  if (t.header_form) {
    for (int i = below(6); i > 0; --i)
      t.groups.push_back(random_text(rng, 20, true));
  }
  for (int r = below(7); r > 0; --r) {
    Record record;
    if (!t.groups.empty() && below(3) != 0) record.group = below(static_cast<int>(t.groups.size()));
    for (int v = below(6); v > 0; --v) {
      const int id = below(256);
      switch (below(5)) {
        case 0:
          record.values.push_back(int2(id, static_cast<std::int16_t>(rng())));
          break;
        case 1:
          record.values.push_back(int4(id, static_cast<std::int32_t>(rng())));
          break;
        case 2:
          record.values.push_back(text(id, random_text(rng, 40, true)));
          break;
        case 3:
          record.values.push_back(blob(id, random_bytes(rng, 40)));
          break;
        default:
          record.values.push_back(entry(id, 4 + below(252), random_bytes(rng, 8)));
          break;
      }
    }
    t.records.push_back(record);
  }
  return t;
}

// ---- Documents -------------------------------------------------------------------------------

fs::path schema() {
  return source_dir() / "share" / "tblx.xsd";
}

RunResult validate(const fs::path& dir, const std::vector<std::string>& documents) {
  std::string command = "cd " + quote(dir) + " && xmllint --noout --schema " + quote(schema());
  for (const std::string& document : documents)
    command += " " + quote(document);
  return shell(command);
}

// Converts the named tables in `dir` and returns the names of the documents written.
std::vector<std::string> convert(const fs::path& dir, const std::vector<std::string>& tables) {
  const RunResult run = run_tool(tables, {.cwd = dir});
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> documents;
  for (const std::string& table : tables) {
    const std::string document = fs::path(table).stem().string() + ".tblx";
    EXPECT_TRUE(fs::exists(dir / document)) << table << " was not converted:\n" << run.out;
    documents.push_back(document);
  }
  return documents;
}

TEST(Schema, EveryDocumentWrittenValidates) {
  ScratchDir dir;
  std::vector<std::string> tables;
  for (const auto& example : fs::directory_iterator(source_dir() / "examples")) {
    if (example.path().extension() != ".tbl") continue;
    fs::copy_file(example.path(), dir.path / example.path().filename());
    tables.push_back(example.path().filename().string());
  }
  ASSERT_FALSE(tables.empty());
  const std::vector<std::pair<std::string, Table>> generated = {
      {"empty.tbl", Table{.name = "empty"}},
      {"bare.tbl", Table{.header_form = false, .name = "bare"}},
      {"full.tbl", full_table()},
      {"headerless.tbl", headerless_table()}};
  for (const auto& [name, table] : generated) {
    write_file(dir / name, encode(table));
    tables.push_back(name);
  }
  for (unsigned seed = 1; seed <= 30; ++seed) {
    const std::string name = "random" + std::to_string(seed) + ".tbl";
    write_file(dir / name, encode(random_table(seed)));
    tables.push_back(name);
  }

  const RunResult check = validate(dir.path, convert(dir.path, tables));
  EXPECT_EQ(check.status, 0) << check.out;
}

// Replaces the first `from` in `text` by `to`; the test fails if there is none.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "no " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct Departure {
  const char* what;
  const char* from;
  const char* to;
};

TEST(Schema, RefusesDeparturesFromTheLayout) {
  ScratchDir dir;
  fs::copy_file(source_dir() / "examples" / "staff.tbl", dir / "staff.tbl");
  convert(dir.path, {"staff.tbl"});
  // The date of the conversion, fixed so that a departure can be made of it.
  std::string written = read_file(dir / "staff.tblx");
  const std::size_t date = written.find("<date>") + std::string("<date>").size();
  written.replace(date, written.find("</date>") - date, "2024-01-31 23:59:59");
  write_file(dir / "staff.tblx", written);
  ASSERT_EQ(validate(dir.path, {"staff.tblx"}).status, 0);

  const Departure departures[] = {
      {"unknown type name", "<type>int2</type>", "<type>int8</type>"},
      {"id above 255", "<id>1</id>", "<id>256</id>"},
      {"id that is no number", "<id>1</id>", "<id>1x</id>"},
      {"id without digits", "<id>1</id>", "<id>+</id>"},
      {"skeyid 255, which means none", "<skeyid>1</skeyid>", "<skeyid>255</skeyid>"},
      {"version 2.1", "<version>2.0", "<version>2.1"},
      {"blank before the version", "<version>2.0", "<version> 2.0"},
      {"encoding other than b64", "encoding=\"b64\"", "encoding=\"base64\""},
      {"unknown write mode", "write=\"overwrite\"", "write=\"replace\""},
      {"missing write mode", " write=\"overwrite\"", ""},
      {"name of 21 characters", "<name>staff</name>", "<name>staff6789012345678901</name>"},
      {"name of 21 characters by references", "<name>staff</name>",
       "<name>staff&#54;&#x37;89012345678901</name>"},
      {"name with a character above 255", "<name>staff</name>", "<name>st&#256;ff</name>"},
      {"ndata above 255", "<record ndata=\"4\">", "<record ndata=\"256\">"},
      {"groups element with ngroup 0", "ngroup=\"2\"", "ngroup=\"0\""},
      {"negative nrecord", "nrecord=\"4\"", "nrecord=\"-1\""},
      {"thirteenth month", "2024-01-31", "2024-13-31"},
      {"hour 24", "23:59:59", "24:59:59"},
      {"records before groups", "</schema>", "</schema><records nrecord=\"0\"></records>"},
      {"unknown element", "<fielddata>", "<fielddata><note/>"},
      {"unknown attribute", "<record ndata=\"4\">", "<record ndata=\"4\" secret=\"yes\">"},
      {"secret mark after the group", "Support</group>\r\n\t\t\t\t\t<fielddata>",
       "Support</group><secret/><fielddata>"},
      {"secret mark with content", "<record ndata=\"4\">",
       "<record ndata=\"4\"><secret>x</secret>"},
  };
  for (const Departure& d : departures) {
    SCOPED_TRACE(d.what);
    write_file(dir / "changed.tblx", replaced(written, d.from, d.to));
    EXPECT_NE(validate(dir.path, {"changed.tblx"}).status, 0);
  }
}

TEST(Schema, AcceptsWhatTheReaderTakesBeyondTheWrittenForm) {
  ScratchDir dir;
  fs::copy_file(source_dir() / "examples" / "phone.tbl", dir / "phone.tbl");
  convert(dir.path, {"phone.tbl"});
  std::string document = read_file(dir / "phone.tblx");
  // A second table, a default group for its records and a secret mark on its record; its name
  // written with character references, numbers with white space, signs and leading zeros.
  const std::size_t start = document.find("\t\t<table");
  const std::size_t end = document.find("\t</tables>");
  std::string second = document.substr(start, end - start);
  second = replaced(second, "<name>phone</name>", "<name>ph&#111;ne&#x32;</name>");
  second = replaced(second, "<id>1</id>", "<id>\r\n +001 </id>");
  second = replaced(second, "<content>-2</content>", "<content> -0002</content>");
  second =
      replaced(second, "<records nrecord=\"1\">", "<records nrecord=\"1\"><group>work</group>");
  second = replaced(second, "<record ndata=\"2\">", "<record ndata=\"2\"><secret/>");
  document.insert(end, second);
  write_file(dir / "both.tblx", document);

  const RunResult check = validate(dir.path, {"both.tblx"});
  EXPECT_EQ(check.status, 0) << check.out;
  fs::create_directory(dir / "back");
  const RunResult run = run_tool({"../both.tblx"}, {.cwd = dir / "back"});
  EXPECT_NE(run.out.find("#0: Secret data not supported in tbl"), std::string::npos) << run.out;
  EXPECT_EQ(read_file(dir / "back" / "phone.tbl"), read_file(dir / "phone.tbl"));
  EXPECT_TRUE(fs::exists(dir / "back" / "phone2.tbl")) << run.out;
}

}  // namespace
