// The tag scanner: normalisation, comments, positions, line counting, failures and tag_is.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

struct Scan {
  int result = -1;
  std::string tag;
  const char* content = nullptr;
  const char* next = nullptr;
};

// One scan with the buffer and positions prefilled with rubbish, so that a scan that forgets to
// set them shows.
Scan scan(const char* text) {
  char tag[kTagBufferSize];
  std::memset(tag, '#', sizeof tag);
  tag[kTagBufferSize - 1] = '\0';
  Scan out;
  out.content = out.next = text;
  out.result = next_tag(text, tag, &out.content, &out.next);
  out.tag = tag;
  return out;
}

struct Found {
  std::string tag;
  int line;
  bool operator==(const Found&) const = default;
};

// Walks a document the way the reader does; the last entry is the failure (empty tag) or the
// last tag found before the text ended.
std::vector<Found> walk(const char* text) {
  current_line = 1;
  pending_lines = 0;
  std::vector<Found> found;
  for (const char* p = text; p != nullptr;) {
    const Scan s = scan(p);
    found.push_back({s.tag, current_line});
    if (s.result != 0) break;
    p = s.next;
  }
  return found;
}

void PrintTo(const Found& f, std::ostream* os) {
  *os << "{" << f.tag << ", " << f.line << "}";
}

TEST(NextTag, NormalisesTheTag) {
  const struct {
    const char* text;
    const char* tag;
  } cases[] = {
      {"<Table  Write = \"OverWrite\" >", "<table write=\"overwrite\">"},
      {"<x a= \"1\"  b =\"2\">", "<x a=\"1\" b=\"2\">"},
      {"<  name  >", "<name>"},
      {"<a b=\"x  y\">", "<a b=\"x y\">"},
      {"<a b=\"x\ty\r\nz\">", "<a b=\"x y z\">"},
      {"<\r\n\tfieldinfo\r\n>", "<fieldinfo>"},
      {"</Name>", "</name>"},
      {"<Secret />", "<secret />"},
      {"<SECRET/>", "<secret/>"},
      {"<a = = b>", "<a==b>"},
      {"<= a>", "<=a>"},
      {"<a b='X'>", "<a b='x'>"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
       "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>"},
      {"<!DOCTYPE x [<!ENTITY e 'v'>]>", "<!doctype x [<!entity e 'v'>"},
      {"<!-x>", "<!-x>"},
      {"<a<b>", "<a<b>"},
      {"<N\xC4\xE9\xFF>", "<n\xC4\xE9\xFF>"},  // only A to Z are lowered
  };
  for (const auto& c : cases) {
    current_line = 1;
    pending_lines = 0;
    const Scan s = scan(c.text);
    EXPECT_EQ(s.result, 0) << c.text;
    EXPECT_EQ(s.tag, c.tag) << c.text;
  }
}

TEST(NextTag, GivesContentStartAndNextTag) {
  const char* text = "\n <a>xy</a>";
  Scan s = scan(text);
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.content, text + 5);
  EXPECT_EQ(s.next, text + 7);

  // The tag ends at its first '>', whatever the quotes say.
  const char* quoted = "<a b=\"x>y\">";
  s = scan(quoted);
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.tag, "<a b=\"x>");
  EXPECT_EQ(s.content, quoted + 8);
  EXPECT_EQ(s.next, nullptr);

  // A last tag is still found; there is just no next one.
  const char* last = "<a>tail\n";
  s = scan(last);
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.content, last + 3);
  EXPECT_EQ(s.next, nullptr);
}

TEST(NextTag, PassesOverCommentsOnlyWhereATagIsExpected) {
  const char* text = "<a>x<!-- note -->y</a>";
  Scan s = scan(text);
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(std::string(s.content, s.next), "x");
  s = scan(s.next);
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.tag, "</a>");

  EXPECT_EQ(scan("<!-- <x> -- -> --><y>").tag, "<y>");
  EXPECT_EQ(scan("<!----><y>").tag, "<y>");
  EXPECT_EQ(scan("<!-- 1 --><!-- 2 -->text<y>").tag, "<y>");
  // The "-->" is searched from behind the "<!--": "<!-->" does not close itself.
  EXPECT_EQ(scan("<!--><y>").result, 1);
  EXPECT_EQ(scan("<!---><y>").result, 1);
}

TEST(NextTag, PassesOverMarkupThatIsNotATag) {
  const struct {
    const char* text;
    const char* tag;
    int line;
  } cases[] = {
      {"<![CDATA[ <x> ]] > ]]><y>", "<y>", 1},
      {"<![CDATA[\n]]>\n<y>", "<y>", 3},
      {"<?pi <x> ?><y>", "<y>", 1},
      {"<?xml-stylesheet href='a'?><y>", "<y>", 1},
      {"<!DOCTYPE tblx SYSTEM \"a>b\">\n<y>", "<y>", 2},
      {"<!doctype tblx><y>", "<y>", 1},
      // The declaration stands as a tag; so does a document type with an internal subset.
      {"<?xml version='1.0'?><y>", "<?xml version='1.0'?>", 1},
      {"<?XML?><y>", "<?xml?>", 1},
      {"<!DOCTYPE t [\n<!ENTITY e 'v'>]><y>", "<!doctype t [ <!entity e 'v'>", 1},
      // Unterminated: the text ends first.
      {"<![CDATA[<y>", "", 1},
      {"<?pi\n<y>", "", 2},
      {"<!DOCTYPE t '>", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::vector<Found> found = walk(c.text);
    EXPECT_EQ(found.front(), (Found{c.tag, c.line}));
  }
}

std::string pieces(const char* text) {
  std::string out;
  TextPiece piece;
  const char* p = text;
  while (next_text_piece(p, piece)) {
    out += piece.cdata ? "[" : "(";
    out.append(piece.begin, piece.end);
    out += piece.cdata ? "]" : ")";
  }
  return out + "|" + p;
}

TEST(TextPieces, RunAcrossCommentsAndInstructionsAndTakeCdataAsItStands) {
  EXPECT_EQ(pieces("ph<!-- x -->one</n>"), "(ph)(one)|</n>");
  EXPECT_EQ(pieces("a<?pi x?>b<![CDATA[<&amp;>]]>c</n>"), "(a)(b)[<&amp;>](c)|</n>");
  EXPECT_EQ(pieces("<![CDATA[]]></n>"), "[]|</n>");
  EXPECT_EQ(pieces("</n>"), "|</n>");
  EXPECT_EQ(pieces("end"), "(end)|");
  // The text stops at markup left open, at a document type and at any tag.
  EXPECT_EQ(pieces("a<!-- open"), "(a)|<!-- open");
  EXPECT_EQ(pieces("a<!DOCTYPE x>b"), "(a)|<!DOCTYPE x>b");
  EXPECT_EQ(pieces("a<b/>"), "(a)|<b/>");
}

TEST(TagAttributes, ReadEitherQuotes) {
  EXPECT_TRUE(tag_has_attribute("<table write=\"overwrite\">", "write", "overwrite"));
  EXPECT_TRUE(tag_has_attribute("<table write='overwrite'>", "write", "overwrite"));
  EXPECT_TRUE(tag_has_attribute("<content a=\"1\" encoding='b64'/>", "encoding", "b64"));
  EXPECT_FALSE(tag_has_attribute("<table write='overwrite\">", "write", "overwrite"));
  EXPECT_FALSE(tag_has_attribute("<table write=\"append\">", "write", "overwrite"));
  EXPECT_FALSE(tag_has_attribute("<table write=overwrite>", "write", "overwrite"));

  std::string_view value;
  ASSERT_TRUE(tag_attribute("<?xml version='1.0' encoding='utf-8'?>", "encoding", value));
  EXPECT_EQ(value, "utf-8");
  ASSERT_TRUE(tag_attribute("<?xml myencoding=\"x\" encoding=\"utf8\"?>", "encoding", value));
  EXPECT_EQ(value, "utf8");
  EXPECT_FALSE(tag_attribute("<?xml version=\"1.0\"?>", "encoding", value));
}

TEST(NextTag, CountsLinesOfTagsAndFailures) {
  const struct {
    const char* text;
    std::vector<Found> found;
  } cases[] = {
      {"<a>", {{"<a>", 1}}},
      {"\n\n<a>\n\n<b>", {{"<a>", 3}, {"<b>", 3 + 2}}},
      {"\r\r<a>\r\n<b>\r", {{"<a>", 1}, {"<b>", 2}}},
      {"<!-- c\n -->\n<b>", {{"<b>", 3}}},
      // Attributes over three lines: the tag's own line, then the line ends inside it count.
      {"<a\nb=\"1\"\nc=\"2\">\n<d>", {{"<a b=\"1\" c=\"2\">", 1}, {"<d>", 4}}},
      {"<a>x\n<!-- 1\n2 -->\n<b>text\n", {{"<a>", 1}, {"<b>", 4}}},
      // Failures: the line of an unfinished tag's '<', or 1 + every LF when no tag is left.
      {"<a>\n<b", {{"<a>", 1}, {"", 2}}},
      {"<a>\n<\n\n>", {{"<a>", 1}, {"", 2}}},
      {"<a>\n<!-- open\n\n", {{"<a>", 1}, {"", 4}}},
      {"<a>\n<!-- closed -->\n", {{"<a>", 1}, {"", 3}}},
      {"<a>\n<!-- closed -->", {{"<a>", 1}, {"", 2}}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(walk(c.text), c.found) << c.text;
}

TEST(NextTag, ADocumentReadAfterAnotherCountsFromOne) {
  const char* document = "\n<a\n>\n\n<b>\n";
  const std::vector<Found> alone = walk(document);
  // The first document fails inside a tag with line ends still pending.
  walk("\n\n<x>\n<y\n\n\n");
  EXPECT_EQ(walk(document), alone);
  EXPECT_EQ(alone, (std::vector<Found>{{"<a>", 2}, {"<b>", 5}}));
}

TEST(NextTag, FailsWithAnEmptyBufferAndNoPositions) {
  const std::string tag125(125, 'a');
  const std::string long_tag = "<\n" + tag125 + "\n>";  // the second LF is past the limit
  const struct {
    std::string text;
    int line;     // current_line after the failure
    int pending;  // pending_lines after the failure
  } cases[] = {
      {"ab\ncd\n", 3, 0},           // no '<'
      {"x\n<!-- a\nb", 3, 0},       // comment without its end
      {"\n<!-- a\n -->", 3, 0},     // text ends right after a comment
      {"\n<!-- a -->\n\nz", 4, 0},  // no tag after a comment
      {"\n< \n\n", 2, 2},           // only whitespace after the '<'
      {"ab\n<", 2, 0},              // '<' as the last character
      {"<abc\n de", 1, 1},          // text ends inside the tag
      {"<>", 1, 0},                 //
      {"< \n\t>", 1, 1},            // whitespace only
      {long_tag, 1, 1},             // 126 characters
      {"<" + tag125 + "a>", 1, 0},  //
      {"<" + tag125 + " >", 1, 0},  // the limit is reached before the trailing space
  };
  for (const auto& c : cases) {
    current_line = 1;
    pending_lines = 0;
    const Scan s = scan(c.text.c_str());
    EXPECT_EQ(s.result, 1) << c.text;
    EXPECT_EQ(s.tag, "") << c.text;
    EXPECT_EQ(s.content, nullptr) << c.text;
    EXPECT_EQ(s.next, nullptr) << c.text;
    EXPECT_EQ(current_line, c.line) << c.text;
    EXPECT_EQ(pending_lines, c.pending) << c.text;
  }
}

TEST(NextTag, TakesTagsUpTo125Characters) {
  const std::string half(62, 'b');
  const std::string cases[] = {
      std::string(125, 'a'),
      std::string(124, 'a') + " ",       // the trailing space is stored, then removed
      " \n\t " + std::string(125, 'a'),  // whitespace after the '<' is not stored
      half + "   \n\t" + half,           // a run of whitespace is stored once
      half + " = \n " + half,            // so is an '=' with whitespace around it
  };
  for (const std::string& inside : cases) {
    current_line = 1;
    pending_lines = 0;
    const std::string text = "<" + inside + ">";
    const Scan s = scan(text.c_str());
    EXPECT_EQ(s.result, 0) << text;
    EXPECT_LE(s.tag.size(), kTagMaxChars + 2) << text;
  }
}

TEST(NextTag, RefusesMissingArgumentsWithoutChangingAnything) {
  char tag[kTagBufferSize] = "<keep>";
  const char* content = "content";
  const char* next = "next";
  const char* text = "\n<a>";
  const char* end = text + std::strlen(text);
  current_line = 7;
  pending_lines = 3;
  EXPECT_EQ(next_tag(nullptr, tag, &content, &next), 1);
  EXPECT_EQ(next_tag(text, nullptr, &content, &next), 1);
  EXPECT_EQ(next_tag(text, tag, nullptr, &next), 1);
  EXPECT_EQ(next_tag(text, tag, &content, nullptr), 1);
  EXPECT_EQ(next_tag(end, tag, &content, &next), 1);
  EXPECT_STREQ(tag, "<keep>");
  EXPECT_STREQ(content, "content");
  EXPECT_STREQ(next, "next");
  EXPECT_EQ(current_line, 7);
  EXPECT_EQ(pending_lines, 3);
}

// Every prefix of a document, each in an allocation of its exact size: the scanner must stop at
// the zero and never read past it.
TEST(NextTag, StopsAtTheEndOfEveryPrefix) {
  const std::string document =
      "<?xml version=\"1.0\"?>\r\n<tblx>\r\n\t<!-- a\r\n -->\r\n\t<Table Write = \"x\">"
      "<name>a&amp;b</name>\r\n< /tblx >";
  for (std::size_t n = 1; n <= document.size(); ++n) {
    const auto text = std::make_unique<char[]>(n + 1);
    std::memcpy(text.get(), document.data(), n);
    text[n] = '\0';
    const std::vector<Found> found = walk(text.get());
    ASSERT_FALSE(found.empty());
  }
  const std::vector<Found> found = walk(document.c_str());
  EXPECT_EQ(found.back(), (Found{"</tblx>", 6}));
}

TEST(TagIs, MatchesTheElementName) {
  const struct {
    const char* tag;
    const char* name;
    int result;
  } cases[] = {
      {"</name>", "/name", 0},
      {"<content encoding=\"b64\">", "content", 0},
      {"<table write=\"append\">", "table", 0},
      {"<table>", "table", 0},
      {"<?xml version=\"1.0\"?>", "?xml", 0},
      {"<secret/>", "secret/", 0},
      {"<secret/>", "secret", 0},
      {"<secret />", "secret", 0},
      {"<content encoding=\"b64\"/>", "content", 0},
      {"<tables>", "table", 1},
      {"<tables ntable=\"1\">", "table", 1},
      {"<table>", "tables", 1},
      {"<tab>", "table", 1},
      {"<secret />", "secret/", 1},
      {"</ table>", "/table", 1},
      {"</ table>", "table", 1},
      {"</table>", "table", 1},
      {"<table=\"1\">", "table", 1},
      {"", "table", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tag_is(c.tag, c.name), c.result) << c.tag << " " << c.name;
}

TEST(TagIs, TellsEmptyElements) {
  for (const char* tag : {"<x/>", "<x />", "<content encoding=\"b64\"/>"})
    EXPECT_TRUE(is_empty_element(tag)) << tag;
  for (const char* tag : {"<x>", "</x>", "<?xml?>", "<!x/>", "</>", "<x/ >"})
    EXPECT_FALSE(is_empty_element(tag)) << tag;
}

}  // namespace
}  // namespace tbl2tblx
