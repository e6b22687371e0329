// Documents in, binary table files out: the bytes written, the console text, every parse error
// with its line, and what is left on disk when a table fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "documents.hpp"
#include "support.hpp"
#include "tables.hpp"

namespace fs = std::filesystem;
using namespace testing_support;
using namespace std::string_literals;

namespace {

// The document written for the phone table, with "\n" for its CR LF line ends.
const std::string kPhoneLines = phone_document_lines();

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string phone_document() {
  return crlf(kPhoneLines);
}

// The phone document with its lines first..last (1-based) replaced by `lines` ("\n" ends).
std::string phone_with_lines(int first, int last, std::string_view lines) {
  std::string text = kPhoneLines;
  std::size_t begin = 0;
  for (int line = 1; line < first; ++line)
    begin = text.find('\n', begin) + 1;
  std::size_t end = begin;
  for (int line = first; line <= last; ++line)
    end = text.find('\n', end) + 1;
  text.replace(begin, end - begin, lines);
  return crlf(text);
}

// The root start tag as the tool writes it.
constexpr std::string_view kRoot = "<tblx xml:space=\"preserve\">";

// The phone document with every `from` made `to`; `from` must stand in it.
std::string phone_with(std::string_view from, std::string_view to) {
  if (std::string_view(kPhoneLines).find(from) == std::string_view::npos) {
    ADD_FAILURE() << "not in the phone document: " << from;
  }
  return crlf(replace_all(kPhoneLines, from, to));
}

// What a finished table prints after the document's own line.
std::string table_lines(std::string_view file, std::string_view table, std::string_view marker,
                        int records) {
  std::string text = std::string("\t").append(file).append("...\n");
  for (int n = 1; n <= records; ++n)
    text += progress(table, marker, static_cast<std::uint64_t>(n));
  return text + "\n";
}

// Runs the tool on `names` in `dir`; the console text after the banner. The run fails exactly
// when a conversion reported a failure (a retry under the time name is none).
std::string run_in(const fs::path& dir, const std::vector<std::string>& names) {
  RunResult result = run_tool(names, {.cwd = dir});
  const bool failed =
      std::regex_search(result.out, std::regex("Error: |: Cannot (read|write) the [a-z ]+\n"));
  EXPECT_EQ(result.status, failed ? 1 : 0);
  EXPECT_EQ(result.out.substr(0, banner().size()), banner());
  return result.out.substr(std::min(banner().size(), result.out.size()));
}

// The document read again in this process with the direct reads on and then off: the console
// and every file written are the same both ways (but for fallback names, made of the time).
void expect_direct_reads_change_nothing(const fs::path& document) {
  ScratchDir on, off;
  const Converted with = convert_in_process(document, on.path);
  const Converted without = convert_in_process(document, off.path, {.direct_reads = false});
  if (with.console.find("Retry") != std::string::npos) return;
  EXPECT_EQ(with.status, without.status);
  EXPECT_EQ(with.console, without.console);
  EXPECT_EQ(on.entries(), off.entries());
  for (const std::string& name : on.entries())
    EXPECT_EQ(read_file(on / name), read_file(off / name)) << name;
}

std::string convert_one(const ScratchDir& dir, std::string_view document,
                        const std::string& name = "phone.tblx") {
  write_file(dir / name, document);
  expect_direct_reads_change_nothing(dir / name);
  return run_in(dir.path, {name});
}

using Files = std::vector<std::string>;

TEST(TblxToTbl, WrittenDocumentGivesBackTheTableAndItsConsoleLines) {
  ScratchDir dir;
  ASSERT_EQ(phone_table().size(), 123u);
  EXPECT_EQ(convert_one(dir, phone_document(), "export.TBLX"),
            "export.TBLX =>\n" + table_lines("phone.tbl", "phone", "+", 1));
  EXPECT_EQ(read_file(dir / "phone.tbl"), phone_table());
  EXPECT_EQ(dir.entries(), (Files{"export.TBLX", "phone.tbl"}));
}

// Uppercases every letter inside the tags, attribute values included.
std::string capitals_in_tags(std::string text) {
  bool in_tag = false;
  for (char& c : text) {
    if (c == '<') in_tag = true;
    if (c == '>') in_tag = false;
    if (in_tag && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// White space wherever a tag may hold it (the declaration's "?>" stays whole).
std::string blanks_in_tags(const std::string& text) {
  std::string spread = replace_all(text, "<", "< \r\n\t");
  spread = replace_all(replace_all(spread, ">", " \n >"), "? \n >", "?>");
  return replace_all(spread, "=", " \t= ");
}

std::string lf_only(const std::string& text) {
  return replace_all(text, "\r\n", "\n");
}

std::string comments_between(const std::string& text) {
  return replace_all(text, ">\r\n", ">\r\n<!-- a <note> -->\r\n<!---->");
}

TEST(TblxToTbl, HandEditedDocumentsGiveTheSameBytes) {
  const std::string written = phone_document();
  struct Case {
    const char* what;
    std::string document;
  } cases[] = {
      {"capitals", capitals_in_tags(written)},
      {"blanks and line breaks inside tags", blanks_in_tags(written)},
      {"LF only", lf_only(written)},
      {"comments between elements", comments_between(written)},
      {"all at once", lf_only(comments_between(blanks_in_tags(capitals_in_tags(written))))},
      {"extra header elements, no header fields but the version",
       phone_with_lines(4, 7, "<x/><version>2.0</version><other a='1'>text</other>\n")},
      {"attribute counts that lie, text after the root",
       phone_with("</tblx>\n", "</tblx>junk <<<") + std::string("\0rest", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    EXPECT_EQ(convert_one(dir, c.document),
              "phone.tblx =>\n" + table_lines("phone.tbl", "phone", "+", 1));
    EXPECT_EQ(read_file(dir / "phone.tbl"), phone_table());
  }
}

// The phone table with its first value ("Ann" and its zero) replaced.
std::string phone_with_value(int type, std::string_view data) {
  Table table = phone();
  table.records[0].values[0] = entry(1, type, data);
  return encode(table);
}

// The phone table under another name.
std::string phone_named(std::string_view name) {
  Table table = phone();
  table.name = name;
  return encode(table);
}

// The phone table named "phon\xE9", as a UTF-8 document writes it: the console text and bytes.
const std::string kLatinName = "phon\xE9";

// Each form that XML tools write reads as what it means: the console text after the document's
// own line and the table written (or, for a refusal, the message and no table).
TEST(TblxToTbl, FormsThatXmlToolsWriteReadAsTheyMean) {
  const std::string phone_lines = table_lines("phone.tbl", "phone", "+", 1);
  const std::string opened = "\tphone.tbl...\n";
  const std::string secret =
      opened + "#0: Secret data not supported in tbl\n" + progress("phone", "+", 1) + "\n";
  const std::string latin_lines = table_lines(kLatinName + ".tbl", kLatinName, "+", 1);
  const std::string utf8_name = phone_with(">phone<", ">phon\xC3\xA9<");
  const std::string declared = "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>";
  const auto declare = [&](std::string_view text, std::string_view declaration) {
    std::string out = text.data();
    return out.replace(0, declared.size(), declaration);
  };
  const std::string string_value = "string</type>\n\t\t\t\t\t\t<content>Ann</content>";
  struct Case {
    const char* what;
    std::string document;
    std::string console;  // after the document's own line
    std::string table;    // of the file named in `file`; empty: no file at all
    std::string file = "phone.tbl";
  } cases[] = {
      {"write in single quotes", phone_with("write=\"append\"", "write='overwrite'"),
       table_lines("phone.tbl", "phone", "", 1), phone_table(tbl2tblx::kOverwrite)},
      {"encoding in single quotes",
       phone_with(string_value,
                  "blob</type>\n\t\t\t\t\t\t<content encoding='b64'>QW5uAA==</content>"),
       phone_lines, phone_with_value(3, "Ann\0"s)},
      {"text across a comment and an instruction",
       phone_with("<name>phone<", "<name>ph<!-- x\n -->o<?pi\n?>ne<"), phone_lines, phone_table()},
      {"CDATA as it stands", phone_with("<content>Ann<", "<content>A<![CDATA[<&amp;\n>]]>n<"),
       phone_lines, phone_with_value(2, "A<&amp;\r>n\0"s)},
      {"markup between tags",
       declare(phone_with("<tblx xml:space=\"preserve\">",
                          "<!DOCTYPE tblx SYSTEM \"t>.dtd\">\n<?pi?><tblx "
                          "xml:space=\"preserve\"><![CDATA[x]]>"),
               declared),
       phone_lines, phone_table()},
      {"empty string", phone_with("<content>Ann</content>", "<content/>"), phone_lines,
       phone_with_value(2, "\0"s)},
      {"empty blob, a blank before the slash",
       phone_with(string_value, "blob</type>\n\t\t\t\t\t\t<content encoding=\"b64\" />"),
       phone_lines, phone_with_value(3, "")},
      {"empty schema, groups, records",
       phone_with_lines(12, 42, "<schema/><groups ngroup='0'/><records/>\n"),
       table_lines("phone.tbl", "phone", "+", 0), encode({.name = "phone"})},
      {"secret/", phone_with("\t\t\t\t\t<group>work", "\t\t\t\t\t<secret/><group>work"), secret,
       phone_table()},
      {"secret with a blank",
       phone_with("\t\t\t\t\t<group>work", "\t\t\t\t\t<secret /><group>work"), secret,
       phone_table()},
      {"secret as start and end tag",
       phone_with("\t\t\t\t\t<group>work", "\t\t\t\t\t<secret></secret><group>work"), secret,
       phone_table()},
      {"byte order mark", "\xEF\xBB\xBF" + phone_document(), phone_lines, phone_table()},
      {"no declaration is UTF-8", declare(utf8_name, ""), latin_lines, phone_named(kLatinName),
       kLatinName + ".tbl"},
      {"declared UTF-8", declare(utf8_name, "<?xml version='1.0' encoding='UTF-8'?>"), latin_lines,
       phone_named(kLatinName), kLatinName + ".tbl"},
      {"declared utf8", declare(utf8_name, "<?xml version=\"1.0\" encoding=\"utf8\"?>"),
       latin_lines, phone_named(kLatinName), kLatinName + ".tbl"},
      {"a declaration without an encoding is UTF-8", declare(utf8_name, "<?xml version=\"1.0\"?>"),
       latin_lines, phone_named(kLatinName), kLatinName + ".tbl"},
      {"character references are not UTF-8", declare(phone_with(">phone<", ">phon&#233;<"), ""),
       latin_lines, phone_named(kLatinName), kLatinName + ".tbl"},
      {"ISO-8859-1 read byte for byte", utf8_name,
       table_lines("phon\xC3\xA9.tbl", "phon\xC3\xA9", "+", 1), phone_named("phon\xC3\xA9"),
       "phon\xC3\xA9.tbl"},
      {"a character above U+00FF",
       declare(phone_with("<content>Ann<", "<content>\xE2\x82\xAC<"), ""),
       opened + "Error: <content> at line 34\n", ""},
      {"not UTF-8", declare(phone_with(">who<", ">wh\xF6<"), ""),
       opened + "Error: <name> at line 16\n", ""},
      {"a cut sequence", declare(phone_with(">who<", ">wh\xC3<"), ""),
       opened + "Error: <name> at line 16\n", ""},
      {"UTF-16, little-endian with a byte order mark", utf16(phone_document(), false, true),
       phone_lines, phone_table()},
      {"UTF-16, big-endian with a byte order mark", utf16(phone_document(), true, true),
       phone_lines, phone_table()},
      {"UTF-16, little-endian from <?", utf16(phone_document(), false, false), phone_lines,
       phone_table()},
      {"UTF-16, big-endian from <?, LF line ends", utf16(kPhoneLines, true, false), phone_lines,
       phone_table()},
      {"UTF-16 declared ISO-8859-1, a Latin-1 name", utf16(utf8_name, false, true), latin_lines,
       phone_named(kLatinName), kLatinName + ".tbl"},
      {"UTF-16, a character above U+00FF",
       utf16(phone_with("<content>Ann<", "<content>\xE2\x82\xAC<"), true, false),
       opened + "Error: <content> at line 34\n", ""},
      {"UTF-16, a character beyond the BMP",
       utf16(phone_with(">who<", ">\xF0\x9F\x98\x80<"), false, true),
       opened + "Error: <name> at line 16\n", ""},
      {"UTF-16, a lone surrogate",
       replace_all(utf16(phone_document(), false, true), std::string(">\0w\0h\0o\0<\0", 10),
                   std::string(">\0\0\xDCh\0o\0<\0", 10)),
       opened + "Error: <name> at line 16\n", ""},
      {"UTF-16, a tag out of place", utf16(phone_with("<schema ", "<schemas "), false, true),
       opened + "Error: <schemas ninfo=\"2\"> at line 12\n", ""},
      {"UTF-32, big-endian with a byte order mark", std::string("\0\0\xFE\xFF\0\0\0<", 8),
       "Error:  at line 1\n", ""},
      {"UTF-32, little-endian with a byte order mark", std::string("\xFF\xFE\0\0<\0\0\0", 8),
       "Error:  at line 1\n", ""},
      {"UTF-32 from <", std::string("\0\0\0<\0\0\0?", 8), "Error:  at line 1\n", ""},
      {"UTF-32, little-endian from <", std::string("<\0\0\0?\0\0\0", 8), "Error:  at line 1\n", ""},
      {"document type with an internal subset",
       phone_with("<tblx xml:space=\"preserve\">",
                  "<!DOCTYPE tblx [<!ENTITY e \"v\">]><tblx xml:space=\"preserve\">"),
       "Error: <!doctype tblx [<!entity e \"v\"> at line 2\n", ""},
      {"an empty element where children belong", phone_with("<table write=\"append\">", "<table/>"),
       "Error: </table> at line 10\n", ""},
      // Attributes are read by their name and quoted value, not found in the tag's text.
      {"'>' in a value, as canonicalisers write it",
       phone_with("<table write=\"append\">", "<table note=\"x > 0\" write=\"overwrite\">"),
       table_lines("phone.tbl", "phone", "", 1), phone_table(tbl2tblx::kOverwrite)},
      {"write in any letter case, decoded",
       phone_with("<table write=\"append\">", "<table WRITE = 'Over&#87;rite'>"),
       table_lines("phone.tbl", "phone", "", 1), phone_table(tbl2tblx::kOverwrite)},
      {"attributes that only look like write",
       phone_with("<table write=\"append\">",
                  "<table xwrite=\"overwrite\" note='write=\"overwrite\"' x:write=\"overwrite\">"),
       phone_lines, phone_table()},
      {"'>' in a content tag's value", phone_with("<content>Ann<", "<content src=\"a>b\">Ann<"),
       phone_lines, phone_table()},
      {"encoding in any letter case, decoded",
       phone_with(
           string_value,
           "blob</type>\n\t\t\t\t\t\t<content x='\"' ENCODING=\"B6&#52;\">QW5uAA==</content>"),
       phone_lines, phone_with_value(3, "Ann\0"s)},
      // Tags of any length, as editors write the root with its schema's location.
      {"a root tag of 128 characters",
       phone_with(kRoot,
                  "<tblx xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                  "xsi:noNamespaceSchemaLocation=\"file:///usr/share/tbl2tblx/tblx.xsd\">"),
       phone_lines, phone_table()},
      {"a table tag of 10000 characters",
       phone_with("<table write=\"append\">",
                  "<table note='" + std::string(10000, '>') + "' write=\"overwrite\">"),
       table_lines("phone.tbl", "phone", "", 1), phone_table(tbl2tblx::kOverwrite)},
      // Passed over in one forward walk, however long.
      {"a document type of 4 MB",
       declare(phone_with(kRoot,
                          "<!DOCTYPE tblx SYSTEM \"" + std::string(4 << 20, '>') + "\">\n<tblx>"),
               declared),
       phone_lines, phone_table()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    EXPECT_EQ(convert_one(dir, c.document), "phone.tblx =>\n" + c.console);
    if (c.table.empty()) {
      EXPECT_EQ(dir.entries(), Files{"phone.tblx"});
    } else {
      EXPECT_EQ(read_file(dir / c.file), c.table);
    }
  }
}

TEST(TblxToTbl, BrokenDocumentsNameTheTagAndItsLine) {
  const std::string opened = "\tphone.tbl...\n";
  const std::string name21 = "abcdefghijklmnopqrstu";
  struct Case {
    const char* what;
    std::string document;
    std::string expected;  // after the document's own line
  } cases[] = {
      {"empty", "", "Error:  at line 1\n"},
      {"version 2.1", phone_with(">2.0<", ">2.1<"), "Error: <version> at line 4\n"},
      {"blank before the version", phone_with(">2.0<", "> 2.0<"), "Error: <version> at line 4\n"},
      {"no version", phone_with_lines(4, 4, ""), "Error: </header> at line 7\n"},
      {"no tables", phone_with_lines(10, 43, ""), "Error: </tables> at line 10\n"},
      {"table name of 21 characters", phone_with(">phone<", ">" + name21 + "<"),
       "Error: <name> at line 11\n"},
      {"field name of 21 characters", phone_with(">who<", ">" + name21 + "<"),
       opened + "Error: <name> at line 16\n"},
      {"group name of 21 characters, entities counted once",
       phone_with("<group>work</group>\n\t\t\t</groups>",
                  "<group>" + name21.substr(0, 20) + "&amp;</group>\n\t\t\t</groups>"),
       opened + "Error: <group> at line 26\n"},
      {"unknown type", phone_with(">int2</type>\n\t\t\t\t<", ">int8</type>\n\t\t\t\t<"),
       opened + "Error: <type> at line 22\n"},
      {"type with a blank", phone_with(">string</type>\n\t\t\t\t<", ">string </type>\n\t\t\t\t<"),
       opened + "Error: <type> at line 17\n"},
      {"unknown tag in a field", phone_with("<name>who</name>", "<name>who</name><x/>"),
       opened + "Error: <x/> at line 16\n"},
      {"no records", phone_with_lines(28, 42, ""), opened + "Error: </table> at line 28\n"},
      {"secret marker after the group",
       phone_with("</group>\n\t\t\t\t\t<f", "</group><secret/>\n\t\t\t\t\t<f"),
       opened + "Error: <secret/> at line 30\n"},
      {"blob without its encoding",
       phone_with("string</type>\n\t\t\t\t\t\t<content>Ann",
                  "BLOB</type>\n\t\t\t\t\t\t<content>Ann"),
       opened + "Error: <content> at line 34\n"},
      // Values written as the tool writes them are read straight from the window; the lines
      // of what follows them still count.
      {"int2 out of range", phone_with("<content>-2<", "<content>-40000<"),
       opened + "Error: <content> at line 39\n"},
      {"unknown tag right after a value",
       phone_with("</fielddata>\n\t\t\t\t</record>", "</fielddata><x/>\n\t\t\t\t</record>"),
       opened + "Error: <x/> at line 40\n"},
      {"id out of range in a second record",
       phone_with("\t\t\t\t</record>\n",
                  "\t\t\t\t</record>\n\t\t\t\t<record ndata=\"1\">\n"
                  "\t\t\t\t\t<fielddata>\n\t\t\t\t\t\t<id>256</id>\n"),
       opened + progress("phone", "+", 1) + "Error: <id> at line 44\n"},
      {"end tag with a blank after the slash", phone_with("</table>", "</ table>"),
       opened + progress("phone", "+", 1) + "Error: </ table> at line 43\n"},
      {"ends inside a value", crlf(kPhoneLines.substr(0, kPhoneLines.find("Ann"))),
       opened + "Error: <content> at line 34\n"},
      {"ends inside a value after a comment",
       crlf(kPhoneLines.substr(0, kPhoneLines.find("Ann")) + "A<!-- \n -->n\n"),
       opened + "Error: <content> at line 34\n"},
      {"ends after the records", crlf(kPhoneLines.substr(0, kPhoneLines.find("\t\t</table>"))),
       opened + "Error: </records> at line 42\n"},  // the record counts once its next tag is read
      {"comment left open", phone_with("\t\t</table>", "\t\t<!-- </table>"),
       opened + progress("phone", "+", 1) + "Error:  at line 46\n"},
      {"ends inside a tag", crlf(kPhoneLines.substr(0, kPhoneLines.find("</table>") + 4)),
       opened + progress("phone", "+", 1) + "Error:  at line 43\n"},
      // A write mode is one of the two, and a tag is formed as XML forms it.
      {"a write mode misspelt", phone_with("\"append\"", "\"overwirte\""),
       "Error: <table write=\"overwirte\"> at line 10\n"},
      {"a write mode with blanks", phone_with("\"append\"", "\" append\""),
       "Error: <table write=\" append\"> at line 10\n"},
      {"a write mode that is no byte", phone_with("\"append\"", "\"&#256;\""),
       "Error: <table write=\"&#256;\"> at line 10\n"},
      {"a write mode without quotes", phone_with("\"append\"", "append"), "Error:  at line 10\n"},
      {"a write mode given twice", phone_with("\"append\"", "\"append\" Write=\"append\""),
       "Error:  at line 10\n"},
      {"an attribute without a value",
       phone_with("\t<records nrecord=\"1\">", "\t<records nrecord>"),
       opened + "Error:  at line 28\n"},
      {"'<' inside a tag", phone_with("<groups ngroup=\"1\">", "<groups ngroup=\"<1\">"),
       opened + "Error:  at line 25\n"},
      {"an end tag with a slash at its end", phone_with("ext</name>", "ext</name/>"),
       opened + "Error:  at line 21\n"},
      {"an end tag with an attribute", phone_with("ext</name>", "ext</name a=\"1\">"),
       opened + "Error:  at line 21\n"},
      {"a blob's encoding in another attribute",
       phone_with("string</type>\n\t\t\t\t\t\t<content>Ann",
                  "blob</type>\n\t\t\t\t\t\t<content xencoding=\"b64\">QW5uAA=="),
       opened + "Error: <content xencoding=\"b64\"> at line 34\n"},
      {"an unknown root tag of 129 characters, named by 125",
       phone_with(kRoot,
                  "<tblx2 xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                  "xsi:noNamespaceSchemaLocation=\"file:///usr/share/tbl2tblx/tblx.xsd\">"),
       "Error: <tblx2 xmlns:xsi=\"http://www.w3.org/2001/xmlschema-instance\" "
       "xsi:nonamespaceschemalocation=\"file:///usr/share/tbl2tblx/tblx.xs> at line 2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    EXPECT_EQ(convert_one(dir, c.document), "phone.tblx =>\n" + c.expected);
    EXPECT_EQ(dir.entries(), Files{"phone.tblx"});
  }
}

// A table of one int4 field and one record holding 7, and its binary form.
std::string small_table_xml(std::string_view name, std::string_view table_tag = "<table>") {
  return table_element(
      name, fieldinfo_element(0, "n", "int4"),
      "<records>\n<record>" + fielddata_element(0, "int4", "7") + "</record>\n</records>",
      table_tag);
}

std::string small_table(std::string_view name, int write_mode = tbl2tblx::kAppend) {
  return encode({.write_mode = write_mode,
                 .name = std::string(name),
                 .fields = {{0, "n", tbl2tblx::kInt4}},
                 .records = {{tbl2tblx::kNone, {int4(0, 7)}}}});
}

std::size_t line_of(std::string_view text, std::size_t position) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + position, '\n'));
}

TEST(TblxToTbl, ValuesGroupsAndTheSecretNotice) {
  const std::string xml = document(
      "<table><name>vals</name><schema><fieldinfo><id>44</id><name>&amp;&lt;&gt;x</name>"
      "<type>INT4</type></fieldinfo></schema>\n"
      "<groups><group>work</group><group></group><group>&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;"
      "&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;</group></groups>\n"
      "<records><group>work</group>\n"
      "<record><fielddata><id>1</id><type>int2</type><content>4464</content></fielddata>"
      "<fielddata><id>2</id><type>int4</type><content>0</content></fielddata>"
      "<fielddata><id>3</id><type>int4</type><content> -2147483648\r\n</content></fielddata>"
      "</record>\n"
      "<record>"
      "<fielddata><id>4</id><type>string</type><content></content></fielddata>"
      "<fielddata><id>5</id><type>string</type><content>a&amp;b\r\nc\nd&quot;</content>"
      "</fielddata></record>\n"
      "<record><secret/><group></group>"
      "<fielddata><id>6</id><type>blob</type><content encoding=\"b64\"></content></fielddata>"
      "<fielddata><id>7</id><type>blob</type><content Encoding = \"B64\"> \r\n </content>"
      "</fielddata>"
      "<fielddata><id>8</id><type>blob</type><content encoding=\"b64\">QU\nJD</content>"
      "</fielddata>"
      "<fielddata><id>9</id><type>int2</type><content encoding=\"b64\">5</content></fielddata>"
      "</record>\n"
      "<record></record>\n"
      "</records></table>\n");
  const std::string expected =
      encode({.name = "vals",
              .fields = {{44, "&<>x", tbl2tblx::kInt4}},
              .groups = {"work", "", std::string(20, '&')},
              .records = {
                  // the default group
                  {0, {int2(1, 4464), int4(2, 0), int4(3, INT32_MIN)}},
                  // no group element: the default; line breaks become CR
                  {0, {text(4, ""), text(5, "a&b\rc\rd\"")}},
                  // the empty name is group 1; empty and blank blobs have length 0
                  {1, {blob(6, ""), blob(7, ""), blob(8, "ABC"), int2(9, 5)}},
                  {0, {}},
              }});
  ScratchDir dir;
  EXPECT_EQ(convert_one(dir, xml, "v.tblx"),
            "v.tblx =>\n\tvals.tbl...\n" + progress("vals", "+", 1) + progress("vals", "+", 2) +
                "#2: Secret data not supported in tbl\n" + progress("vals", "+", 3) +
                progress("vals", "+", 4) + "\n");
  EXPECT_EQ(read_file(dir / "vals.tbl"), expected);
}

TEST(TblxToTbl, EachTableGetsItsOwnFileAndWriteMode) {
  const std::string xml = document(
      small_table_xml("over", "<Table Write = \"OverWrite\">") +
      "<table write='append'><name>none</name><schema><skeyid>2</skeyid><fieldinfo><id>1"
      "</id><name>f</name><type>blob</type></fieldinfo></schema><records></records></table>\n" +
      small_table_xml("&lt;&gt;"));
  const std::string none =
      encode({.name = "none", .fields = {{1, "f", tbl2tblx::kBlob}}, .skeyid = 2});
  ScratchDir dir;
  EXPECT_EQ(convert_one(dir, xml, "t.tblx"),
            "t.tblx =>\n" + table_lines("over.tbl", "over", "", 1) + "\tnone.tbl...\n\n" +
                table_lines("<>.tbl", "<>", "+", 1));
  EXPECT_EQ(read_file(dir / "over.tbl"), small_table("over", tbl2tblx::kOverwrite));
  EXPECT_EQ(read_file(dir / "none.tbl"), none);
  EXPECT_EQ(read_file(dir / "<>.tbl"), small_table("<>"));
}

// The tool writes a document for a table without fields; it must read it back.
TEST(TblxToTbl, ATableWithoutFieldsComesBack) {
  const std::string table = encode({.name = "bare", .records = {{}, {}}});
  ScratchDir dir;
  fs::create_directory(dir / "back");
  write_file(dir / "bare.tbl", table);
  ASSERT_EQ(run_tool({"bare.tbl"}, {.cwd = dir.path}).status, 0);
  run_in(dir / "back", {"../bare.tblx"});
  EXPECT_EQ(read_file(dir / "back" / "bare.tbl"), table);
}

TEST(TblxToTbl, FailedTableLeavesNothingAndKeepsTheTablesBeforeIt) {
  const std::string xml =
      document(small_table_xml("first") + "<table><name>second</name><schema></schema>");
  ScratchDir dir;
  write_file(dir / "second.tbl", "earlier");
  EXPECT_EQ(convert_one(dir, xml, "two.tblx"), "two.tblx =>\n" +
                                                   table_lines("first.tbl", "first", "+", 1) +
                                                   "\tsecond.tbl...\nError: </tables> at line 8\n");
  EXPECT_EQ(read_file(dir / "first.tbl"), small_table("first"));
  EXPECT_EQ(read_file(dir / "second.tbl"), "earlier");
  EXPECT_EQ(dir.entries(), (Files{"first.tbl", "second.tbl", "two.tblx"}));
}

TEST(TblxToTbl, LineNumbersDoNotDependOnTheDocumentsBefore) {
  const std::vector<std::pair<std::string, std::string>> documents = {
      {"good.tblx", phone_document()},
      // a table of its own name: the run never replaces the file of the first
      {"stops.tblx",
       crlf(replace_all(replace_all(kPhoneLines, "<name>phone</name>", "<name>stops</name>"),
                        "<name>who</name>", "<name>who</name><x/>"))},
      {"late.tblx", phone_with_lines(4, 4, "\n\n\n")},
  };
  ScratchDir together;
  std::vector<std::string> names;
  std::string alone;
  for (const auto& [name, text] : documents) {
    ScratchDir dir;
    alone += convert_one(dir, text, name);
    write_file(together / name, text);
    names.push_back(name);
  }
  EXPECT_EQ(run_in(together.path, names), alone);
}

TEST(TblxToTbl, NamesThatCannotBeFilesHereTakeTheTimeName) {
  ScratchDir dir;
  const fs::path here = dir / "here";
  fs::create_directories(here / "phone.tbl");
  write_file(here / "t.tblx", document(small_table_xml("../up") + small_table_xml("a\\b") +
                                       small_table_xml("phone")));
  const std::string time_name = "<time>.tbl";
  EXPECT_EQ(
      std::regex_replace(run_in(here, {"t.tblx"}), std::regex("[0-9]{14}\\.tbl"), time_name),
      "t.tblx =>\n../up.tbl: Cannot write the file. Retry...\n" +
          table_lines(time_name, "../up", "+", 1) + "a\\b.tbl: Cannot write the file. Retry...\n" +
          table_lines(time_name, "a\\b", "+", 1) + "phone.tbl: Cannot write the file. Retry...\n" +
          table_lines(time_name, "phone", "+", 1));
  EXPECT_EQ(dir.entries(), Files{"here"});
  // The pause after each fallback makes the three names differ.
  std::vector<std::string> entries;
  for (auto& entry : fs::directory_iterator(here))
    entries.push_back(entry.path().filename());
  std::sort(entries.begin(), entries.end());
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[3], "phone.tbl");
  EXPECT_EQ(entries[4], "t.tblx");
  const char* tables[] = {"../up", "a\\b", "phone"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::regex_match(entries[i], std::regex("[0-9]{14}\\.tbl"))) << entries[i];
    EXPECT_EQ(read_file(here / entries[i]), small_table(tables[i]));
  }
}

// The file of an earlier table of the same document is never replaced: a later table of that
// file name (compared as bytes, after unescaping) takes the time name.
TEST(TblxToTbl, ATableNamedLikeAnEarlierOneTakesTheTimeName) {
  const std::string overwrite = "<table write=\"overwrite\">";
  ScratchDir dir;
  write_file(dir / "t.tblx",
             document(small_table_xml("phone", overwrite) + small_table_xml("Phone") +
                      small_table_xml("phone") + small_table_xml("&#60;x", overwrite) +
                      small_table_xml("&lt;x")));
  const std::string time_name = "<time>.tbl";
  EXPECT_EQ(
      std::regex_replace(run_in(dir.path, {"t.tblx"}), std::regex("[0-9]{14}\\.tbl"), time_name),
      "t.tblx =>\n" + table_lines("phone.tbl", "phone", "", 1) +
          table_lines("Phone.tbl", "Phone", "+", 1) +
          "phone.tbl: Cannot write the file. Retry...\n" + table_lines(time_name, "phone", "+", 1) +
          table_lines("<x.tbl", "<x", "", 1) + "<x.tbl: Cannot write the file. Retry...\n" +
          table_lines(time_name, "<x", "+", 1));
  const Files entries = dir.entries();
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(read_file(dir / entries[0]), small_table("phone"));
  EXPECT_EQ(read_file(dir / entries[1]), small_table("<x"));
  EXPECT_EQ((Files{entries.begin() + 2, entries.end()}),
            (Files{"<x.tbl", "Phone.tbl", "phone.tbl", "t.tblx"}));
  EXPECT_EQ(read_file(dir / "phone.tbl"), small_table("phone", tbl2tblx::kOverwrite));
  EXPECT_EQ(read_file(dir / "Phone.tbl"), small_table("Phone"));
  EXPECT_EQ(read_file(dir / "<x.tbl"), small_table("<x", tbl2tblx::kOverwrite));
}

// Tables of the batch's documents share the run's files: a later table of a file name the run
// wrote, by any name or link that reaches the same file, takes the time name.
TEST(TblxToTbl, NoTableReplacesAFileTheRunWrote) {
  ScratchDir dir;
  write_file(dir / "one.tblx", document(small_table_xml("phone", "<table write=\"overwrite\">")));
  write_file(dir / "two.tblx", document(small_table_xml("phone")));
  write_file(dir / "three.tblx", document(small_table_xml("alias")));
  fs::create_symlink("phone.tbl", dir / "alias.tbl");
  const std::string time_name = "<time>.tbl";
  EXPECT_EQ(std::regex_replace(run_in(dir.path, {"one.tblx", "two.tblx", "three.tblx"}),
                               std::regex("[0-9]{14}\\.tbl"), time_name),
            "one.tblx =>\n" + table_lines("phone.tbl", "phone", "", 1) + "two.tblx =>\n" +
                "phone.tbl: Cannot write the file. Retry...\n" +
                table_lines(time_name, "phone", "+", 1) + "three.tblx =>\n" +
                "alias.tbl: Cannot write the file. Retry...\n" +
                table_lines(time_name, "alias", "+", 1));
  EXPECT_EQ(read_file(dir / "phone.tbl"), small_table("phone", tbl2tblx::kOverwrite));
  const Files entries = dir.entries();
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(read_file(dir / entries[0]), small_table("phone"));
  EXPECT_EQ(read_file(dir / entries[1]), small_table("alias"));
}

// The time name for "now" formatted as the tool makes it, `later` seconds on.
std::string time_name_at(std::time_t now, int later) {
  const std::time_t at = now + later;
  std::tm local{};
  localtime_r(&at, &local);
  char name[32];
  std::strftime(name, sizeof name, "%Y%m%d%H%M%S.tbl", &local);
  return name;
}

// A time name is taken only where no file stands: the next second's is tried, three times.
TEST(TblxToTbl, ATimeNameThatStandsIsNeverReplaced) {
  for (const int standing : {3, 40}) {
    SCOPED_TRACE(standing);
    ScratchDir dir;
    write_file(dir / "t.tblx", document(small_table_xml("a/b")));
    const std::time_t now = std::time(nullptr);
    Files before = {"t.tblx"};
    for (int later = -1; later < standing; ++later) {
      write_file(dir / time_name_at(now, later), "standing");
      before.push_back(time_name_at(now, later));
    }
    std::sort(before.begin(), before.end());
    const std::string out = run_in(dir.path, {"t.tblx"});
    Files after = dir.entries();
    for (const std::string& name : before) {
      if (name != "t.tblx") {
        EXPECT_EQ(read_file(dir / name), "standing") << name;
      }
    }
    Files added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    if (standing == 3) {
      ASSERT_EQ(added.size(), 1u);
      EXPECT_GT(added[0], time_name_at(now, standing - 1));
      EXPECT_EQ(read_file(dir / added[0]), small_table("a/b"));
      EXPECT_EQ(out, "t.tblx =>\na/b.tbl: Cannot write the file. Retry...\n" +
                         table_lines(added[0], "a/b", "+", 1));
    } else {
      EXPECT_EQ(added, Files{});
      EXPECT_TRUE(std::regex_match(out, std::regex("t.tblx =>\na/b.tbl: Cannot write the file. "
                                                   "Retry...\n[0-9]{14}\\.tbl: Cannot write "
                                                   "the file\n")))
          << out;
    }
  }
}

// Two runs in one folder that fall back to time names at once: each table in a file of its own.
TEST(TblxToTbl, RunsRacingForATimeNameLoseNoTable) {
  ScratchDir dir;
  write_file(dir / "one.tblx", document(small_table_xml("1/a") + small_table_xml("1/b")));
  write_file(dir / "two.tblx", document(small_table_xml("2/a") + small_table_xml("2/b")));
  Started one = start_tool({"one.tblx"}, {.cwd = dir.path});
  Started two = start_tool({"two.tblx"}, {.cwd = dir.path});
  EXPECT_EQ(finish(one).status, 0);
  EXPECT_EQ(finish(two).status, 0);
  std::vector<std::string> tables;
  for (const std::string& name : dir.entries()) {
    if (name.ends_with(".tbl")) tables.push_back(read_file(dir / name));
  }
  std::vector<std::string> expected = {small_table("1/a"), small_table("1/b"), small_table("2/a"),
                                       small_table("2/b")};
  std::sort(tables.begin(), tables.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(tables, expected);
}

// A table whose groups or one record's values number `count`.
std::string counted_document(int count, bool groups) {
  std::string items;
  for (int i = 0; i < count; ++i) {
    items += groups ? "<group>g" + std::to_string(i) + "</group>\n"
                    : fielddata_element(0, "int2", "1") + "\n";
  }
  return document(table_element("t", fieldinfo_element(0, "n", "int2"),
                                groups ? "<groups>\n" + items + "</groups><records></records>"
                                       : "<records><record>\n" + items + "</record></records>"));
}

TEST(TblxToTbl, CountsAboveWhatAByteHoldsAreRefused) {
  for (bool groups : {true, false}) {
    SCOPED_TRACE(groups ? "groups" : "fielddata");
    ScratchDir dir;
    convert_one(dir, counted_document(255, groups), "full.tblx");
    const std::string table = read_file(dir / "t.tbl");
    // ngroup follows the one field and skeyid; ndata, the 255 values of 8 bytes and nothing after.
    constexpr std::size_t kNgroupAt = tbl2tblx::kFileHeaderSize + tbl2tblx::kTableNameWidth +
                                      tbl2tblx::kCountWidth + tbl2tblx::kFieldInfoSize + 1;
    constexpr std::size_t kInt2Entry = tbl2tblx::kFieldDataHeadSize + tbl2tblx::kInt2Size;
    const std::size_t count_at =
        groups ? kNgroupAt : table.size() - tbl2tblx::kMaxFieldData * kInt2Entry - 1;
    ASSERT_GT(table.size(), count_at);
    EXPECT_EQ(static_cast<unsigned char>(table[count_at]), 255);

    ScratchDir over;
    const std::string xml = counted_document(256, groups);
    const std::string tag = groups ? "<group>" : "<fielddata>";
    std::size_t at = 0;
    for (int i = 0; i < 256; ++i)
      at = xml.find(tag, at) + 1;
    const std::string out = convert_one(over, xml, "over.tblx");
    EXPECT_EQ(out, "over.tblx =>\n\tt.tbl...\nError: " + tag + " at line " +
                       std::to_string(line_of(xml, at)) + "\n");
    EXPECT_EQ(over.entries(), Files{"over.tblx"});
  }
}

TEST(TblxToTbl, OnlyDocumentNamesAreTakenAndUnreadableOnesAreReported) {
  using tbl2tblx::Direction;
  EXPECT_EQ(tbl2tblx::direction_of("a.TBLX"), Direction::kToTables);
  EXPECT_EQ(tbl2tblx::direction_of("a.Tbl"), Direction::kToDocument);
  for (const char* name : {".tblx", ".tbl", "x.tblx.bak", "tblx", "x.tb"})
    EXPECT_EQ(tbl2tblx::direction_of(name), Direction::kSkip) << name;
  ScratchDir dir;
  CapturedConsole console;
  console.run.output_folder = dir.path;
  const std::string missing = (dir / "missing.tblx").string();
  EXPECT_EQ(tbl2tblx::convert_tblx_to_tbl(missing.c_str(), console.run), 1);
  EXPECT_EQ(console.text(), missing + ": Cannot read the file\n");
}

// One table whose every checked part stands on a line of its own, so that a refusal names a
// known line. The defaults make a valid table: one int2 field, one group and one record in that
// group holding one int2 value.
struct Doc {
  std::string name = "t";                         // <name> on line 3
  std::string skeyid = "0";                       // <skeyid> on line 4
  std::string field_id = "1";                     // <id> on line 5
  std::string field_name = "f";                   // <name> on line 6
  std::string groups = "<group>g</group>";        // all on line 7
  std::optional<std::string> default_group;       // <group> on line 8
  std::optional<std::string> record_group = "g";  // <group> on line 9
  std::string value_id = "1";                     // <id> on line 10
  std::string type = "int2";                      // line 11, as the content tag
  std::string content_tag = "<content>";
  std::string content = "5";
};

std::string doc_text(const Doc& d) {
  auto element = [](const std::string& name, const std::optional<std::string>& text) {
    return text ? "<" + name + ">" + *text + "</" + name + ">" : "";
  };
  const std::string lines[] = {
      "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>",
      "<tblx><header><version>2.0</version></header><tables>",
      "<table>" + element("name", d.name) + "<schema>",
      element("skeyid", d.skeyid),
      "<fieldinfo>" + element("id", d.field_id),
      element("name", d.field_name) + "<type>int2</type></fieldinfo></schema><groups>",
      d.groups + "</groups><records>",
      element("group", d.default_group),
      "<record>" + element("group", d.record_group),
      "<fielddata>" + element("id", d.value_id),
      element("type", d.type) + d.content_tag + d.content + "</content></fielddata></record>",
      "</records></table></tables></tblx>",
  };
  std::string text;
  for (const std::string& line : lines)
    text += line + "\n";
  return text;
}

// The binary form of a Doc, with the same defaults.
struct Bin {
  std::string name = "t";
  int skeyid = 0;
  int field_id = 1;
  std::string field_name = "f";
  std::vector<std::string> groups = {"g"};
  int record_group = 0;
  int value_id = 1;
  int type = 0;
  std::string data = le(5, 2);
};

std::string bin_bytes(const Bin& b) {
  return encode({.name = b.name,
                 .fields = {{b.field_id, b.field_name, tbl2tblx::kInt2}},
                 .skeyid = b.skeyid,
                 .groups = b.groups,
                 .records = {{b.record_group, {entry(b.value_id, b.type, b.data)}}}});
}

std::string times(int n, std::string_view piece) {
  std::string text;
  for (int i = 0; i < n; ++i)
    text += piece;
  return text;
}

// Each rule a hand edit meets, at its boundaries: the edit, then either the table written or the
// refusal with its tag and line.
TEST(TblxToTbl, HandEditsAreReadExactlyOrRefused) {
  const std::string b64 = "<content encoding=\"b64\">";
  const std::string e233 = "&#233;";
  const std::string blob_error = "<content encoding=\"b64\"> at line 11";
  struct Case {
    Doc doc;
    Bin bin;
    std::string error;  // empty: the table is written as `bin`
  } cases[] = {
      // int2 and int4 values: white space, one sign, digits, white space; within the type's range
      {{.content = "-32768"}, {.data = le(0x8000, 2)}},
      {{.content = "32767"}, {.data = le(0x7FFF, 2)}},
      {{.content = "32768"}, {}, "<content> at line 11"},
      {{.content = "-32769"}, {}, "<content> at line 11"},
      {{.content = "70000"}, {}, "<content> at line 11"},
      {{.content = " \t\r\n+0000000000000000000007 \r\n"}, {.data = le(7, 2)}},
      {{.content = "-0"}, {.data = le(0, 2)}},
      {{.content = ""}, {}, "<content> at line 11"},
      {{.content = " "}, {}, "<content> at line 11"},
      {{.content = "-"}, {}, "<content> at line 11"},
      {{.content = "- 5"}, {}, "<content> at line 11"},
      {{.content = "+-5"}, {}, "<content> at line 11"},
      {{.content = "1 2"}, {}, "<content> at line 11"},
      {{.content = "abc"}, {}, "<content> at line 11"},
      {{.content = "123x4"}, {}, "<content> at line 11"},
      {{.content = "0x10"}, {}, "<content> at line 11"},
      {{.content = "\v5"}, {}, "<content> at line 11"},
      {{.content = "&#53;<![CDATA[0]]>"}, {.data = le(50, 2)}},  // as XML reads it
      {{.content = "99999999999999999999999"}, {}, "<content> at line 11"},
      {{.type = "int4", .content = "-2147483648"}, {.type = 1, .data = le(0x80000000u, 4)}},
      {{.type = "int4", .content = "2147483647"}, {.type = 1, .data = le(0x7FFFFFFF, 4)}},
      {{.type = "int4", .content = "2147483648"}, {}, "<content> at line 11"},
      {{.type = "int4", .content = "-2147483649"}, {}, "<content> at line 11"},
      {{.type = "int4", .content = "4294967297"}, {}, "<content> at line 11"},
      {{.type = "int4", .content = "abc"}, {}, "<content> at line 11"},
      // every length of digits, and runs longer than the type's: read alike
      {{.type = "int4", .content = "-1"}, {.type = 1, .data = le(0xFFFFFFFFu, 4)}},
      {{.type = "int4", .content = "12345678"}, {.type = 1, .data = le(12345678, 4)}},
      {{.type = "int4", .content = "-999999999"},
       {.type = 1, .data = le(static_cast<std::uint32_t>(-999999999), 4)}},
      {{.type = "int4", .content = "100000000"}, {.type = 1, .data = le(100000000, 4)}},
      {{.type = "int4", .content = "1000000000"}, {.type = 1, .data = le(1000000000, 4)}},
      {{.type = "int4", .content = "000000000000000000001"}, {.type = 1, .data = le(1, 4)}},
      {{.content = "-10000"}, {.data = le(static_cast<std::uint16_t>(-10000), 2)}},
      {{.content = "00032767"}, {.data = le(32767, 2)}},
      {{.content = "000032768"}, {}, "<content> at line 11"},
      {{.type = "int4", .content_tag = b64, .content = "32768"}, {.type = 1, .data = le(32768, 4)}},
      {{.content_tag = b64, .content = "32768"}, {}, blob_error},
      // id and skeyid: 0 to 255
      {{.value_id = "0"}, {.value_id = 0}},
      {{.value_id = "255"}, {.value_id = 255}},
      {{.value_id = " 007\n"}, {.value_id = 7}},
      {{.value_id = "256"}, {}, "<id> at line 10"},
      {{.value_id = "300"}, {}, "<id> at line 10"},
      {{.value_id = "-1"}, {}, "<id> at line 10"},
      {{.value_id = ""}, {}, "<id> at line 10"},
      {{.field_id = "255"}, {.field_id = 255}},
      {{.field_id = "256"}, {}, "<id> at line 5"},
      {{.skeyid = "255"}, {.skeyid = 255}},
      {{.skeyid = "256"}, {}, "<skeyid> at line 4"},
      {{.skeyid = "x"}, {}, "<skeyid> at line 4"},
      // a group reference names one of the table's groups exactly
      {{.record_group = "G"}, {}, "<group> at line 9"},
      {{.record_group = "g "}, {}, "<group> at line 9"},
      {{.record_group = "nowhere"}, {}, "<group> at line 9"},
      {{.record_group = ""}, {}, "<group> at line 9"},
      {{.groups = "<group>g</group><group></group>", .record_group = ""},
       {.groups = {"g", ""}, .record_group = 1}},
      {{.groups = "<group>x</group><group>\xE9&amp;</group>", .record_group = "&#233;&#x26;"},
       {.groups = {"x", "\xE9&"}, .record_group = 1}},
      {{.groups = "<group>x</group><group>g</group>",
        .default_group = "g",
        .record_group = std::nullopt},
       {.groups = {"x", "g"}, .record_group = 1}},
      {{.default_group = "nowhere"}, {}, "<group> at line 8"},
      {{.default_group = "g", .record_group = "nowhere"}, {}, "<group> at line 9"},
      {{.record_group = "&#0;"}, {}, "<group> at line 9"},
      // blob contents: the base64 alphabet, '=' and white space only
      {{.type = "blob", .content_tag = b64, .content = "QUJD"}, {.type = 3, .data = "ABC"}},
      {{.type = "blob", .content_tag = b64, .content = " QU\r\n\tI= "}, {.type = 3, .data = "AB"}},
      {{.type = "blob", .content_tag = b64, .content = "+/8="}, {.type = 3, .data = "\xFB\xFF"}},
      {{.type = "blob", .content_tag = b64, .content = "AAECAwQFBgcICQoL"},
       {.type = 3, .data = "\0\1\2\3\4\5\6\7\b\t\n\v"s}},
      {{.type = "blob", .content_tag = b64, .content = "QQ=\r\n="}, {.type = 3, .data = "A"}},
      {{.type = "blob", .content_tag = b64, .content = "QUI="}, {.type = 3, .data = "AB"}},
      {{.type = "blob", .content_tag = b64, .content = ""}, {.type = 3, .data = ""}},
      {{.type = "blob", .content_tag = b64, .content = "\r\n \t"}, {.type = 3, .data = ""}},
      {{.type = "blob", .content_tag = b64, .content = "Hello, world."}, {}, blob_error},
      // ... in groups of four, '=' only at the end, the bits it leaves unused zero
      {{.type = "blob", .content_tag = b64, .content = "AAECAwQFBgcICQo"}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "AAECAwQFBgcICQoLD"}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "AAECA=wQFBgcICQoL"}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "AAECAwQFBgcICQoL==="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "AAECAwQFBgcICQoL="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "A"}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "QQ=="}, {.type = 3, .data = "A"}},
      {{.type = "blob", .content_tag = b64, .content = "QR=="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "QUJ="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "QQ="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "Q==="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "===="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "QQ==QUJD"}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "QQ==\nQQ=="}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "QUJD\v"}, {}, blob_error},
      {{.type = "blob", .content_tag = b64, .content = "QU&#74;D"}, {.type = 3, .data = "ABC"}},
      {{.type = "blob", .content_tag = b64, .content = "QU&#0;D"}, {}, blob_error},
      {{.type = "blob", .content = "QUJD"}, {}, "<content> at line 11"},
      // names and strings: the five entities and references to bytes 1 to 255
      {{.type = "string", .content = "&#255;&#xff;&#1;"}, {.type = 2, .data = "\xFF\xFF\x01\0"s}},
      {{.type = "string", .content = "&#256;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "&#x100;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "&#0;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "&#99999999999999999999;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "&quot;&apos;&amp;&lt;&gt;&#233;&#xE9;"},
       {.type = 2, .data = "\"'&<>\xE9\xE9\0"s}},
      // references that XML does not define are refused; an '&' that starts none stays
      {{.type = "string", .content = "caf&eacute;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "a&nbsp;b"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "5&euro;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "&#X41;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "&#12a;"}, {}, "<content> at line 11"},
      {{.type = "string", .content = "&#;"}, {}, "<content> at line 11"},
      {{.name = "caf&eacute;"}, {}, "<name> at line 3"},
      {{.field_name = "&nbsp;"}, {}, "<name> at line 6"},
      {{.type = "string", .content = "AT&T & &amp x&#65 &1;"},
       {.type = 2, .data = "AT&T & &amp x&#65 &1;\0"s}},
      // a line break is CR however it is written
      {{.type = "string", .content = "a&#13;&#10;b\r\n&#13;\nc&#xA;&#x0D;d"},
       {.type = 2, .data = "a\r\rb\r\r\rc\r\rd\0"s}},
      {{.field_name = "a&#10;b\r\nc"}, {.field_name = "a\rb\rc"}},
      {{.name = times(20, e233)}, {.name = std::string(20, '\xE9')}},
      {{.name = times(21, e233)}, {}, "<name> at line 3"},
      {{.name = "&#256;"}, {}, "<name> at line 3"},
      {{.field_name = "&quot;x&apos;&#x7E;"}, {.field_name = "\"x'~"}},
      {{.field_name = times(20, "&#xe9;")}, {.field_name = std::string(20, '\xE9')}},
      {{.field_name = "a&#0;"}, {}, "<name> at line 6"},
      {{.groups = "<group>&#256;</group>"}, {}, "<group> at line 7"},
      {{.groups = "<group>" + times(21, e233) + "</group>"}, {}, "<group> at line 7"},
  };
  for (const Case& c : cases) {
    const std::string document = doc_text(c.doc);
    SCOPED_TRACE(document);
    ScratchDir dir;
    write_file(dir / "doc.tblx", document);
    expect_direct_reads_change_nothing(dir / "doc.tblx");
    const Converted run = convert_in_process(dir / "doc.tblx", dir.path);
    if (c.error.empty()) {
      const std::string file = c.bin.name + ".tbl";
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.console,
                (dir / "doc.tblx").string() + " =>\n" + table_lines(file, c.bin.name, "+", 1));
      EXPECT_EQ(read_file(dir / file), bin_bytes(c.bin));
    } else {
      EXPECT_EQ(run.status, 1);
      EXPECT_TRUE(run.console.ends_with("\nError: " + c.error + "\n")) << run.console;
      EXPECT_EQ(dir.entries(), Files{"doc.tblx"});
    }
  }
}

// Every cut, read with the direct reads on and off alike.
TEST(TblxToTbl, EveryCutOfADocumentIsRefusedAndLeavesOnlyFinishedTables) {
  const std::string document = phone_document();
  const std::size_t table_done =
      document.find("</table>") + std::string_view("</table>\r\n\t").size();
  const std::size_t document_done = document.find("</tblx>") + std::string_view("</tblx>").size();
  for (std::size_t length = 0; length <= document.size(); ++length) {
    SCOPED_TRACE(length);
    ScratchDir dir;
    write_file(dir / "cut.tblx", document.substr(0, length));
    expect_direct_reads_change_nothing(dir / "cut.tblx");
    const Converted run = convert_in_process(dir / "cut.tblx", dir.path);
    EXPECT_EQ(run.status, length >= document_done ? 0 : 1);
    if (length < document_done) {
      EXPECT_TRUE(std::regex_search(run.console, std::regex("Error: [^\n]* at line [0-9]+\n$")))
          << run.console;
    }
    if (length > table_done) {
      EXPECT_EQ(read_file(dir / "phone.tbl"), phone_table());
    } else {
      EXPECT_EQ(dir.entries(), Files{"cut.tblx"});
    }
  }
}

TEST(TblxToTbl, TablesSurviveTheRoundTripThroughADocument) {
  TableMaker maker{std::mt19937(20240506)};
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    const Table described = maker.table();
    const std::string table = encode(described);
    ScratchDir dir;
    fs::create_directory(dir / "in");
    write_file(dir / "in" / "t.tbl", table);
    const Converted there = convert_in_process(dir / "in" / "t.tbl", dir.path);
    ASSERT_EQ(there.status, 0) << there.console;
    expect_direct_reads_change_nothing(dir / "t.tblx");
    const Converted back = convert_in_process(dir / "t.tblx", dir.path);
    ASSERT_EQ(back.status, 0) << back.console;
    EXPECT_EQ(read_file(dir / (described.name + ".tbl")), table);
  }
}

}  // namespace
