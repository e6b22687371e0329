// The XML Schema share/tblx.xsd against the reader: every document written for the examples, for
// edge tables and for random tables validates with xmllint, and so does every document written
// by hand that the reader accepts; departures that the reader refuses and XML Schema can tell are
// refused by both.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "documents.hpp"
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

// What the reader makes of `document`, converted in a folder of its own: its exit status.
int read_status(const fs::path& dir, const std::string& name, const std::string& document) {
  const fs::path folder = dir / (name + ".d");
  fs::create_directory(folder);
  write_file(folder / name, document);
  return run_tool({name}, {.cwd = folder}).status;
}

// The part of `text` from the first `from` up to the `to` after it.
std::string between(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  return text.substr(at, text.find(to, at) - at);
}

struct Edit {
  const char* what;
  std::string from;
  std::string to;
};

// Departures from the layout that the reader refuses and the schema can tell: both refuse them.
TEST(Schema, RefusesWhatTheReaderRefusesWhereItCanTell) {
  ScratchDir dir;
  fs::copy_file(source_dir() / "examples" / "staff.tbl", dir / "staff.tbl");
  convert(dir.path, {"staff.tbl"});
  const std::string written = read_file(dir / "staff.tblx");
  ASSERT_EQ(validate(dir.path, {"staff.tblx"}).status, 0);

  const Edit departures[] = {
      {"unknown type name", "<type>int2</type>", "<type>int8</type>"},
      {"type name with a blank", "<type>int2</type>", "<type>int2 </type>"},
      {"id above 255", "<id>1</id>", "<id>256</id>"},
      {"id that is no number", "<id>1</id>", "<id>1x</id>"},
      {"id without digits", "<id>1</id>", "<id>+</id>"},
      {"skeyid above 255", "<skeyid>1</skeyid>", "<skeyid>256</skeyid>"},
      {"version 2.1", "<version>2.0", "<version>2.1"},
      {"blank before the version", "<version>2.0", "<version> 2.0"},
      {"name of 21 characters", "<name>staff</name>", "<name>staff6789012345678901</name>"},
      {"name of 21 characters by references", "<name>staff</name>",
       "<name>staff&#54;&#x37;89012345678901</name>"},
      {"name with a character above 255", "<name>staff</name>", "<name>st&#256;ff</name>"},
      {"records before groups", "</schema>", "</schema><records></records>"},
      {"unknown element", "<fielddata>", "<fielddata><note/>"},
      {"field without a type", "</name>\r\n\t\t\t\t\t<type>int2</type>", "</name>"},
      {"value without content", "</type>\r\n\t\t\t\t\t\t<content>", "</type><x>"},
      {"secret mark after the group", "Support</group>\r\n\t\t\t\t\t<fielddata>",
       "Support</group><secret/><fielddata>"},
      {"secret mark holding an element", "<record ndata=\"4\">",
       "<record ndata=\"4\"><secret><x/></secret>"},
      {"no records element", "\t\t\t<records", "\t\t\t<other"},
      {"write value misspelt", "write=\"overwrite\"", "write=\"overwirte\""},
      // Past the blocks of characters that the text pattern takes whole (and, of a length no
      // multiple of four, no base64 to a validator that passes over what is not base64).
      {"a long string ending in a character above 255", "<content>Ann &amp; Bob<",
       "<content>" + std::string(2501, 'x') + "&#256;<"},
  };
  for (const Edit& d : departures) {
    SCOPED_TRACE(d.what);
    const std::string document = replaced(written, d.from, d.to);
    EXPECT_EQ(read_status(dir.path, "changed.tblx", document), 1);
    write_file(dir / "changed.tblx", document);
    EXPECT_NE(validate(dir.path, {"changed.tblx"}).status, 0);
  }
}

// Documents written by hand, as the manual describes them and as the tests of the reader hold
// them: every one the reader accepts validates.
TEST(Schema, AcceptsEveryDocumentTheReaderAccepts) {
  const std::string phone = crlf(phone_document_lines());
  const std::string string_value = "string</type>\r\n\t\t\t\t\t\t<content>Ann</content>";
  std::string twenty_references;
  for (int i = 0; i < 20; ++i)
    twenty_references += "&#233;";
  const Edit edits[] = {
      {"as written", "", ""},
      {"LF line ends", "\r\n", "\n"},
      {"no author, desc or date", between(phone, "\t\t<author>", "\t</header>"), ""},
      {"other header elements around the version", "<version>2.0</version>",
       "<x/><version>2.0</version><other a='1'>text<y/></other>"},
      {"any date", "<date>2024-05-06 07:08:09</date>", "<date>yesterday, 25:61</date>"},
      {"no count attributes, no write attribute",
       "<tables ntable=\"1\">\r\n\t\t<table write=\"append\">", "<tables>\r\n\t\t<table>"},
      {"counts that lie", "<record ndata=\"2\">", "<record ndata=\"-300\" nrecord=\"x\">"},
      {"other attributes and write values", "<table write=\"append\">",
       "<table WRITE=\"Overwrite\" id=\"7\">"},
      {"write in single quotes", "write=\"append\"", "write='overwrite'"},
      {"blob with its encoding in single quotes", string_value,
       "blob</type>\r\n\t\t\t\t\t\t<content encoding='b64'>QW5uAA==</content>"},
      {"blob in lines", string_value,
       "blob</type><content encoding=\"b64\">\r\n QW5u\r\n\tAA== \r\n</content>"},
      {"encoding on a number", "<content>-2</content>", "<content encoding=\"b64\">-2</content>"},
      {"type names in capitals", "<type>int2</type>", "<type>INT2</type>"},
      {"numbers with signs, zeros and blanks", "<id>1</id>", "<id>\r\n +001 </id>"},
      {"a number of references and CDATA", "<content>-2</content>",
       "<content>-&#50;<![CDATA[0]]></content>"},
      {"skeyid 255, no key field", "<skeyid>1</skeyid>", "<skeyid>255</skeyid>"},
      {"no skeyid", "\t\t\t\t<skeyid>1</skeyid>\r\n", ""},
      {"text across a comment and an instruction", "<name>phone<",
       "<name>ph<!-- x\n -->o<?pi\n?>ne<"},
      {"CDATA as it stands", "<content>Ann<", "<content>A<![CDATA[<&amp;\n>]]>n<"},
      {"entities and references", "<content>Ann<",
       "<content>&quot;&apos;&amp;&lt;&gt;&#233;&#xE9;a&#13;&#10;b<"},
      {"a name of 20 references", "<name>who<", "<name>" + twenty_references + "<"},
      {"markup and text between elements", "<tblx xml:space=\"preserve\">",
       "<!DOCTYPE tblx SYSTEM \"t>.dtd\">\n<?pi?><tblx "
       "xml:space=\"preserve\"><![CDATA[x]]>text<!-- c -->"},
      {"empty string and empty blob", "<content>Ann</content>",
       "<content/></fielddata><fielddata><id>3</id><type>blob</type>"
       "<content encoding=\"b64\" />"},
      {"a table without fields, groups or records", between(phone, "<schema", "\r\n\t\t</table>"),
       "<schema/><groups ngroup='0'/><records/>"},
      {"a default group", "<records nrecord=\"1\">", "<records nrecord=\"1\"><group>work</group>"},
      {"a record without a group", "\t\t\t\t\t<group>work</group>\r\n", ""},
      {"an empty record", "<record ndata=\"2\">", "<record/><record ndata=\"2\">"},
      {"secret mark", "<record ndata=\"2\">", "<record ndata=\"2\"><secret/>"},
      {"secret mark with a blank and a text", "<record ndata=\"2\">",
       "<record ndata=\"2\"><secret >x</secret>"},
      {"a second table", "\t</tables>",
       "<table><name>two</name><schema><fieldinfo><id>0</id><name></name><type>blob</type>"
       "</fieldinfo></schema><records></records></table>\t</tables>"},
      {"byte order mark", "<?xml", "\xEF\xBB\xBF<?xml"},
      {"no declaration, UTF-8 text",
       "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\r\n<tblx xml:space=\"preserve\">",
       "<tblx xml:space=\"preserve\"><!-- phon\xC3\xA9 -->"},
      {"declared UTF-8, a character above 127",
       "encoding=\"iso-8859-1\"?>\r\n<tblx xml:space=\"preserve\">",
       "encoding=\"UTF-8\"?>\r\n<tblx xml:space=\"preserve\"><!-- \xC3\xA9 -->"},
  };
  ScratchDir dir;
  for (const Edit& e : edits) {
    SCOPED_TRACE(e.what);
    const std::string document = e.from.empty() ? phone : replaced(phone, e.from, e.to);
    EXPECT_EQ(read_status(dir.path, "edited.tblx", document), 0);
    write_file(dir / "edited.tblx", document);
    const RunResult check = validate(dir.path, {"edited.tblx"});
    EXPECT_EQ(check.status, 0) << check.out << document;
  }
}

}  // namespace
