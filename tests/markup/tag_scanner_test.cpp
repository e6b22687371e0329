// The tag scanner: normalisation, comments, positions, line counting, failures and tag names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

// A document read through a window of a few bytes, refilled a few bytes at a time, so that
// every tag and text straddles refills.
struct Document {
  std::vector<std::uint8_t> bytes;  // exactly the document: a byte too far is a sanitizer report
  InputWindow in;
  TagScan lines;

  explicit Document(std::string_view text) : bytes(text.begin(), text.end()) {
    in.ends_at_zero = true;
    EXPECT_EQ(input_window_from_memory(in, bytes, 8, 3, false), 0);
  }
};

constexpr std::size_t kNone = std::string::npos;

struct Scan {
  int result = -1;
  std::string tag;
  std::size_t content = kNone;  // offset after the tag's '>'
  std::size_t next = kNone;     // offset of the '<' after the tag
  std::int64_t line = 0;
  std::int64_t pending = 0;
};

// One scan of a fresh document with the tag buffer prefilled with rubbish, so that a scan that
// forgets to set it shows; then the text after the tag is passed over as the reader does.
Scan scan(std::string_view text) {
  Document d(text);
  char tag[kTagBufferSize];
  std::memset(tag, '#', sizeof tag);
  tag[kTagBufferSize - 1] = '\0';
  Scan out;
  out.result = next_tag(d.in, d.lines, tag);
  out.tag = tag;
  if (out.result == 0) {
    out.content = input_offset(d.in);
    if (skip_to_markup(d.in, d.lines) == 0) out.next = input_offset(d.in);
  }
  out.line = d.lines.current_line;
  out.pending = d.lines.pending_lines;
  return out;
}

struct Found {
  std::string tag;
  std::int64_t line;
  bool operator==(const Found&) const = default;
};

// Walks a document the way the reader does; the last entry is the failure (empty tag) or the
// last tag found before the text ended.
std::vector<Found> walk(std::string_view text) {
  Document d(text);
  std::vector<Found> found;
  for (;;) {
    char tag[kTagBufferSize] = {};
    const int result = next_tag(d.in, d.lines, tag);
    found.push_back({tag, d.lines.current_line});
    if (result != 0 || skip_to_markup(d.in, d.lines) != 0) break;
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
      {"<a b='X'>", "<a b='x'>"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
       "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>"},
      {"<!DOCTYPE x [<!ENTITY e 'v'>]>", "<!doctype x [<!entity e 'v'>"},
      {"<!-x>", "<!-x>"},
      {"<a b=\"x>y\" c='\"'>", "<a b=\"x>y\" c='\"'>"},  // a value may hold '>' and the other quote
      {"<a b = 'x = y' />", "<a b='x=y' />"},
      {"</a \r\n>", "</a>"},
      {"<N\xC4\xE9\xFF>", "<n\xC4\xE9\xFF>"},  // only A to Z are lowered
      // Tags as the tool writes them are stored as they stand: the reader takes them so.
      {"<record ndata=\"255\">", "<record ndata=\"255\">"},
      {"<content encoding=\"b64\">", "<content encoding=\"b64\">"},
  };
  for (const auto& c : cases) {
    const Scan s = scan(c.text);
    EXPECT_EQ(s.result, 0) << c.text;
    EXPECT_EQ(s.tag, c.tag) << c.text;
  }
}

TEST(NextTag, GivesContentStartAndNextTag) {
  Scan s = scan("\n <a>xy</a>");
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.content, 5u);
  EXPECT_EQ(s.next, 7u);

  // A '>' inside a value does not end the tag.
  s = scan("<a b=\"x>y\">z");
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.tag, "<a b=\"x>y\">");
  EXPECT_EQ(s.content, 11u);
  EXPECT_EQ(s.next, kNone);

  // A last tag is still found; there is just no next one.
  s = scan("<a>tail\n");
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(s.content, 3u);
  EXPECT_EQ(s.next, kNone);
}

TEST(NextTag, PassesOverCommentsOnlyWhereATagIsExpected) {
  const std::string_view text = "<a>x<!-- note -->y</a>";
  Scan s = scan(text);
  ASSERT_EQ(s.result, 0);
  EXPECT_EQ(text.substr(s.content, s.next - s.content), "x");
  s = scan(text.substr(s.next));
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

// The pieces of the text at the start of `text`: "(data)", "[cdata]", then "|" and what follows
// the text ("open" for markup the document ends inside).
std::string pieces(std::string_view text) {
  Document d(text);
  TextWalk walk;
  std::string out;
  bool in_data = false;
  for (;;) {
    const TextChunk chunk = next_text_chunk(d.in, d.lines, walk);
    if (chunk.event != TextEvent::kData && in_data) out += ")";
    if (chunk.event == TextEvent::kData && !in_data) out += "(";
    in_data = chunk.event == TextEvent::kData;
    switch (chunk.event) {
      case TextEvent::kData:
      case TextEvent::kCdata:
        out.append(chunk.begin, chunk.end);
        break;
      case TextEvent::kCdataStart:
        out += "[";
        break;
      case TextEvent::kCdataEnd:
        out += "]";
        break;
      case TextEvent::kBreak:
        break;
      case TextEvent::kStop:
      case TextEvent::kEnd:
        return out + "|" + std::string(text.substr(input_offset(d.in)));
      case TextEvent::kOpenMarkup:
        return out + "|open";
    }
  }
}

TEST(TextPieces, RunAcrossCommentsAndInstructionsAndTakeCdataAsItStands) {
  EXPECT_EQ(pieces("ph<!-- x -->one</n>"), "(ph)(one)|</n>");
  EXPECT_EQ(pieces("a<?pi x?>b<![CDATA[<&amp;>]]>c</n>"), "(a)(b)[<&amp;>](c)|</n>");
  EXPECT_EQ(pieces("<![CDATA[]]></n>"), "[]|</n>");
  EXPECT_EQ(pieces("<![CDATA[a]]]]><![CDATA[>b]]></n>"), "[a]]][>b]|</n>");
  EXPECT_EQ(pieces("</n>"), "|</n>");
  EXPECT_EQ(pieces("end"), "(end)|");
  EXPECT_EQ(pieces("a long text of more than one window\nand a line end</n>"),
            "(a long text of more than one window\nand a line end)|</n>");
  // The text stops at markup left open, at a document type and at any tag. The characters of
  // a CDATA section come before its end is known: a reader takes them back.
  EXPECT_EQ(pieces("a<!-- open"), "(a)|open");
  EXPECT_EQ(pieces("a<![CDATA[xy"), "(a)[xy|open");
  EXPECT_EQ(pieces("a<!DOCTYPE x>b"), "(a)|<!DOCTYPE x>b");
  EXPECT_EQ(pieces("a<b/>"), "(a)|<b/>");
}

TEST(TextPieces, DataStopsShortOfTheWindowEndByTheLookahead) {
  Document d("abcdefghijklmnopqrstuvwxyz");
  TextWalk walk;
  const TextChunk chunk = next_text_chunk(d.in, d.lines, walk, 5);
  ASSERT_EQ(chunk.event, TextEvent::kData);
  // Every byte of the chunk has four more behind it in the window.
  EXPECT_GE(reinterpret_cast<const char*>(d.in.end) - chunk.end, 4);
  EXPECT_LT(chunk.begin, chunk.end);
}

// The value as written of each kept attribute ("-" for none) after one scan, or "fails".
std::string kept_values(std::string_view text) {
  Document d(text);
  d.lines.keep = {"write", "encoding"};
  char tag[kTagBufferSize] = {};
  if (next_tag(d.in, d.lines, tag) != 0) return "fails";
  std::string out;
  for (const std::string_view name : d.lines.keep) {
    std::string_view value;
    bool whole = true;
    out += kept_attribute(d.lines, name, value, whole) ? std::string(value) : "-";
    out += whole ? "|" : "...|";
  }
  return out;
}

TEST(TagAttributes, OnlyTheNamedAttributesAreKeptWithTheirValuesAsWritten) {
  const std::string long_value(kKeptValueSize + 1, 'v');
  const struct {
    std::string text;
    std::string kept;
  } cases[] = {
      {"<table write=\"OverWrite\">", "OverWrite|-|"},
      {"<table WRITE = 'a&amp;b' encoding=\"b64\">", "a&amp;b|b64|"},
      {"<table note='write=\"overwrite\"' xwrite=\"overwrite\" x:write=\"overwrite\">", "-|-|"},
      {"<table note=\"x > 0\" write=\"overwrite\"/>", "overwrite|-|"},
      {"<?xml version='1.0' encoding='utf-8'?>", "-|utf-8|"},
      {"<content encoding=\"\n\">", "-|\n|"},
      {"<content encoding=\"\">", "-||"},
      {"<table write=\"" + long_value + "\">", long_value.substr(0, kKeptValueSize) + "...|-|"},
      // A kept attribute given twice is no tag.
      {"<table write=\"append\" Write=\"append\">", "fails"},
      // The tag after a tag with kept attributes keeps none of them.
      {"<table>", "-|-|"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(kept_values(c.text), c.kept) << c.text;
}

TEST(NextTag, RefusesWhatIsNotFormedAsATag) {
  const struct {
    const char* text;
    int pending;  // the tag's own line ends, pending
  } cases[] = {
      {"<table write>", 0},                   // an attribute without '='
      {"<table write=append>", 0},            // without quotes
      {"<table write='append\">", 0},         // quotes that do not match
      {"<table\nwrite=\"a\"note=\"b\">", 1},  // no white space between attributes
      {"<table <name>", 0},                   // '<' inside a tag
      {"<table a=\"<\">", 0},                 // also inside a value
      {"<a = = b>", 0},
      {"<= a>", 0},
      {"<a b==\"1\">", 0},
      {"<a/b>", 0},
      {"<a/ >", 0},
      {"<a \"b\">", 0},
      {"</id/>", 0},  // an end tag holds its name and white space only
      {"</id x>", 0},
      {"</id x=\"1\">", 0},
      {"</>", 0},
      {"</ >", 0},
      {"<a\"b>", 0},
      {"<a b=\"1\"\n\n", 2},  // ends inside the tag
  };
  for (const auto& c : cases) {
    const Scan s = scan(c.text);
    EXPECT_EQ(s.result, 1) << c.text;
    EXPECT_EQ(s.tag, "") << c.text;
    EXPECT_EQ(s.line, 1) << c.text;
    EXPECT_EQ(s.pending, c.pending) << c.text;
  }
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

// The count goes on past what 32 bits hold, before a tag, inside one and at a failure.
TEST(NextTag, CountsLinesPastTwoToTheThirtyOne) {
  constexpr std::int64_t kLast32 = 2147483647;
  Document d("\n\n<a\n>\n<b");
  d.lines.current_line = kLast32;
  char tag[kTagBufferSize] = {};
  ASSERT_EQ(next_tag(d.in, d.lines, tag), 0);
  EXPECT_EQ(d.lines.current_line, kLast32 + 2);
  ASSERT_EQ(skip_to_markup(d.in, d.lines), 0);
  EXPECT_EQ(next_tag(d.in, d.lines, tag), 1);
  EXPECT_EQ(d.lines.current_line, kLast32 + 4);
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
  const struct {
    std::string text;
    int line;     // current_line after the failure
    int pending;  // pending_lines after the failure
  } cases[] = {
      {"ab\ncd\n", 3, 0},                     // no '<'
      {"x\n<!-- a\nb", 3, 0},                 // comment without its end
      {"\n<!-- a\n -->", 3, 0},               // text ends right after a comment
      {"\n<!-- a -->\n\nz", 4, 0},            // no tag after a comment
      {"\n< \n\n", 2, 2},                     // only whitespace after the '<'
      {"ab\n<", 2, 0},                        // '<' as the last character
      {"<abc\n de", 1, 1},                    // text ends inside the tag
      {"<>", 1, 0},                           //
      {"< \n\t>", 1, 1},                      // whitespace only
      {"<a b='>\n", 1, 1},                    // text ends inside a value
      {"\n<!DOCTYPE a [\n<!ENTITY x", 2, 1},  // inside a document type taken as a tag
      {"\n<!DOCTYPE a 'b\n", 3, 0},           // inside one passed over
  };
  for (const auto& c : cases) {
    const Scan s = scan(c.text);
    EXPECT_EQ(s.result, 1) << c.text;
    EXPECT_EQ(s.tag, "") << c.text;
    EXPECT_EQ(s.content, kNone) << c.text;
    EXPECT_EQ(s.line, c.line) << c.text;
    EXPECT_EQ(s.pending, c.pending) << c.text;
  }
}

// A tag of any length is read whole; its stored text is the first 125 characters of its
// normalised text and the '>'.
TEST(NextTag, TakesTagsOfAnyLength) {
  const std::string a125(kTagMaxChars, 'a');
  const std::string long_value = "<x a='" + std::string(300, '>') + "\n' b=\"2\">";
  const struct {
    std::string text;
    std::string tag;
    std::size_t content;  // offset after the tag's '>'
  } cases[] = {
      {"<" + a125 + ">", "<" + a125 + ">", 127},
      {"<" + a125 + " >", "<" + a125 + ">", 128},       // the trailing space is no character
      {"<" + a125 + "a>", "<" + a125 + ">", 128},       // cut
      {"<" + a125 + " b='1'>", "<" + a125 + ">", 133},  // cut at the space
      {"<x\n" + std::string(124, 'b') + "='1'>", "<x " + std::string(123, 'b') + ">", 132},
      {"< \n\t " + a125 + ">", "<" + a125 + ">", 131},  // white space after the '<' is not stored
      {long_value, "<x a='" + std::string(120, '>') + ">", long_value.size()},
      {"<" + std::string(100000, 'a') + ">x", "<" + a125 + ">", 100002},
  };
  for (const auto& c : cases) {
    const Scan s = scan(c.text);
    EXPECT_EQ(s.result, 0) << c.text;
    EXPECT_EQ(s.tag, c.tag) << c.text;
    EXPECT_EQ(s.content, c.content) << c.text;
  }
  // The line ends inside a long tag are pending, wherever the cut falls.
  const Scan s = scan(long_value);
  EXPECT_EQ(s.line, 1);
  EXPECT_EQ(s.pending, 1);
}

TEST(NextTag, ChangesNothingAtTheEndOfTheDocument) {
  for (const std::string_view text : {std::string_view(), std::string_view("\0<a>", 4)}) {
    Document d(text);
    char tag[kTagBufferSize] = "<keep>";
    d.lines = {7, 3, true};
    EXPECT_EQ(next_tag(d.in, d.lines, tag), 1);
    EXPECT_STREQ(tag, "<keep>");
    EXPECT_EQ(d.lines.current_line, 7);
    EXPECT_EQ(d.lines.pending_lines, 3);
  }
}

// Every prefix of a document, each in an allocation of its exact size: the scanner must stop at
// its end and never read past it.
TEST(NextTag, StopsAtTheEndOfEveryPrefix) {
  const std::string document =
      "<?xml version=\"1.0\"?>\r\n<tblx>\r\n\t<!-- a\r\n -->\r\n\t<Table Write = \"x\">"
      "<name>a&amp;b</name>\r\n< /tblx >";
  for (std::size_t n = 1; n <= document.size(); ++n) {
    const std::vector<Found> found = walk(std::string_view(document).substr(0, n));
    ASSERT_FALSE(found.empty());
  }
  const std::vector<Found> found = walk(document);
  EXPECT_EQ(found.back(), (Found{"</tblx>", 6}));
}

TEST(TagIs, MatchesTheElementName) {
  const struct {
    const char* tag;
    const char* name;
    bool result;
  } cases[] = {
      {"</name>", "/name", true},
      {"<content encoding=\"b64\">", "content", true},
      {"<table write=\"append\">", "table", true},
      {"<table>", "table", true},
      {"<?xml version=\"1.0\"?>", "?xml", true},
      {"<secret/>", "secret/", true},
      {"<secret/>", "secret", true},
      {"<secret />", "secret", true},
      {"<content encoding=\"b64\"/>", "content", true},
      {"<tables>", "table", false},
      {"<tables ntable=\"1\">", "table", false},
      {"<table>", "tables", false},
      {"<tab>", "table", false},
      {"<secret />", "secret/", false},
      {"</ table>", "/table", false},
      {"</ table>", "table", false},
      {"</table>", "table", false},
      {"<table=\"1\">", "table", false},
      {"", "table", false},
  };
  for (const auto& c : cases) {
    char tag[kTagBufferSize] = {};  // as the scanner leaves its buffer: every byte initialised
    std::strncpy(tag, c.tag, sizeof tag - 1);
    EXPECT_EQ(tag_is(tag, c.name), c.result) << c.tag << " " << c.name;
  }
}

TEST(TagIs, TellsEmptyElements) {
  for (const char* tag : {"<x/>", "<x />", "<content encoding=\"b64\"/>"})
    EXPECT_TRUE(is_empty_element(tag)) << tag;
  for (const char* tag : {"<x>", "</x>", "<?xml?>", "<!x/>", "</>", "<x/ >"})
    EXPECT_FALSE(is_empty_element(tag)) << tag;
}

}  // namespace
}  // namespace tbl2tblx
