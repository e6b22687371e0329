// Entities and line ends, both ways: what names and string values become, and escaping in
// chunks and in blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/formats.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

using namespace std::string_literals;

// The unescaped text, or nothing when the text is refused.
using Result = std::optional<std::string>;

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string escape_content_of(std::string_view data) {
  std::string out(data.size() * kEscapeMaxExpansion + kEscapeMaxExpansion, '#');
  const EscapeProgress p = escape_content(as_bytes(data), out);
  EXPECT_TRUE(p.done);
  out.resize(p.written);
  return out;
}

// The text in an allocation of its exact size, so that a read past its end is caught.
std::unique_ptr<char[]> exact_copy(std::string_view text) {
  auto copy = std::make_unique<char[]>(text.size());
  std::memcpy(copy.get(), text.data(), text.size());
  return copy;
}

// A whole text unescaped as the reader unescapes an element's text, from an allocation of its
// exact size so that a read past its end is caught.
Result unescape_of(std::string_view text) {
  const auto source = exact_copy(text);
  const char* const end = source.get() + text.size();
  std::string out;
  TextDecoder d;
  unescape_chunk(d, true, false, source.get(), end, end,
                 [&out](std::string_view chars) { out += chars; });
  end_unescape_piece(d);
  if (d.refused) return std::nullopt;
  return out;
}

TEST(Unescape, DecodesEntitiesReferencesAndLineEnds) {
  const struct {
    std::string text;
    std::string unescaped;
  } cases[] = {
      {"a&amp;b&lt;c&gt;d", "a&b<c>d"},
      {"&quot;&#65;&apos;", "\"A'"},
      {"&#1;&#255;&#xff;&#xE9;&#x1;", "\x01\xFF\xFF\xE9\x01"},
      {"&#0000000000000000000000065;&#x00000000000000000041;", "AA"},
      {"&amp;#65;", "&#65;"},
      // an '&' that starts neither "&name;" nor "&#...;" stays as written
      {"AT&T & x&amp y&#65 z&# 65; &1; &-a; &;", "AT&T & x&amp y&#65 z&# 65; &1; &-a; &;"},
      {"&eacute &#x41 &#12a<", "&eacute &#x41 &#12a<"},
      {"&amp", "&amp"},
      {"&lt", "&lt"},
      {"&", "&"},
      {"x&", "x&"},
      {"&amp;lt;", "&lt;"},
      {"&&amp;", "&&"},
      {"\nx", "\rx"},
      {"x\r\ny", "x\ry"},
      {"x\n\ny", "x\r\ry"},
      {"&amp;\n", "&\r"},
      {"&\n", "&\r"},
      {"x\r", "x\r"},
      {"\r\r\n\n", "\r\r\r"},
      // a line break is CR however it is written, each reference one line break
      {"x&#13;&#10;y&#xA;&#xd;&#x0D;&#x0a;&#0010;", "x\r\ry\r\r\r\r\r"},
      {"&#13;\n&#10;\n", "\r\r\r\r"},
      {"\r&#10;\r\n&#13;", "\r\r\r\r"},
      {"\"'\t\x01\xE9\xFF", "\"'\t\x01\xE9\xFF"},
      // the line-end rule judges by the bytes as written, entities or not
      {"&lt;\r\n&amp;\n\r&gt;\n\nend&#13;\n", "<\r&\r\r>\r\rend\r\r"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(unescape_of(c.text), c.unescaped) << c.text;
}

// A numeric reference to no byte refuses the whole text, wherever it stands.
TEST(Unescape, RefusesReferencesToNoByte) {
  for (const std::string text :
       {"&#0;", "&#x0;", "&#256;", "&#x100;", "&#0256;", "a&amp;b&#300;", "&#4294967361;",
        "&#99999999999999999999999999999999;", "&#xFFFFFFFFFFFFFFFF41;", "ok\n&#65;&#x0000;"}) {
    EXPECT_EQ(unescape_of(text), std::nullopt) << text;
  }
}

// What every XML reader refuses: a reference to an entity that is not one of the five, and "&#",
// characters up to ';' that are not a reference; and a reference too long to be read.
TEST(Unescape, RefusesReferencesXmlDoesNotDefine) {
  for (const std::string& text : std::vector<std::string>{
           "&eacute;", "&nbsp;", "caf&euro;", "&AMP;", "&QUOT;", "&x;", "&_a.b-c:1;", "&\xE9t\xE9;",
           "&#X41;", "&#12a;", "&#;", "&#x;", "&#-1;", "&#+65;", "&#x41g;",
           std::string("&").append(60, 'a').append(";"), std::string("&").append(60, 'a'),
           std::string("&#").append(60, 'z')}) {
    EXPECT_EQ(unescape_of(text), std::nullopt) << text;
  }
}

TEST(Unescape, StaysInsideTheGivenText) {
  // An entity that the text cuts off is no entity, whatever follows in memory.
  const std::string_view document = "a&amp;b&#65;";
  EXPECT_EQ(unescape_of(document.substr(0, 4)), "a&am");
  EXPECT_EQ(unescape_of(document.substr(0, 6)), "a&");
  EXPECT_EQ(unescape_of(document.substr(0, 11)), "a&b&#65");
}

TEST(EscapeContent, WritesTheDocumentForm) {
  const struct {
    std::string data;
    std::string escaped;
    std::size_t consumed;
  } cases[] = {
      {"ab\0cd"s, "ab", 2},
      {"a<b", "a&lt;b", 3},
      {"&<>", "&amp;&lt;&gt;", 3},
      {"&quot;", "&amp;quot;", 6},
      {"x\r\ny", "x\r\ny", 4},
      {"x\ry", "x\r\ny", 3},
      {"x\ny", "x\r\ny", 3},
      {"x\r", "x\r\n", 2},
      {"\r\r\n\n\r", "\r\n\r\n\r\n\r\n", 5},
      {"\"'\t\x01\xE9\xFF", "\"'\t\x01\xE9\xFF", 6},
      {"a plain run, then <, &, > and a zero\0x"s, "a plain run, then &lt;, &amp;, &gt; and a zero",
       36},
      {"", "", 0},
      {"\0"s, "", 0},
  };
  for (const auto& c : cases) {
    const auto data = exact_copy(c.data);
    std::string out(c.data.size() * kEscapeMaxExpansion + kEscapeMaxExpansion, '#');
    const EscapeProgress p = escape_content(as_bytes({data.get(), c.data.size()}), out);
    EXPECT_TRUE(p.done) << c.data;
    EXPECT_EQ(p.consumed, c.consumed) << c.data;
    EXPECT_EQ(out.substr(0, p.written), c.escaped) << c.data;
  }
}

TEST(EscapeContent, ACrAtTheEndOfTheDataIsALoneCr) {
  const std::string_view field = "x\r\ny";
  EXPECT_EQ(escape_content_of(field.substr(0, 2)), "x\r\n");
  EXPECT_EQ(escape_content_of(field.substr(2)), "\r\ny");
}

TEST(EscapeContent, InChunksGivesTheSameAsAtOnce) {
  const std::string data =
      "plain text&<>\r\n\r\r\n\n" + std::string(40, 'p') + "&&\r\n<\r" + "\xE9 end\r\n\0ignored"s;
  const std::string whole = escape_content_of(data);
  EXPECT_EQ(whole.find("ignored"), std::string::npos);
  for (std::size_t room = kEscapeMaxExpansion; room <= whole.size() + kEscapeMaxExpansion; ++room) {
    std::string joined;
    std::size_t taken = 0;
    for (bool done = false; !done;) {
      std::vector<char> dest(room);
      const EscapeProgress p = escape_content(as_bytes(data).subspan(taken), dest);
      ASSERT_LE(p.written, room);
      if (!p.done) {
        // It stops only when the worst case of the next byte does not fit.
        ASSERT_GT(p.written + kEscapeMaxExpansion, room) << room;
        ASSERT_GT(p.consumed, 0u) << room;
      }
      joined.append(dest.data(), p.written);
      taken += p.consumed;
      done = p.done;
    }
    EXPECT_EQ(joined, whole) << room;
  }
}

// Plain bytes are copied in blocks: a special byte at every place of a run of every length up
// to past two blocks gives what escaping byte by byte gives.
TEST(EscapeContent, ASpecialByteAnywhereInARun) {
  const auto one_by_one = [](std::string_view data) {
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
      switch (data[i]) {
        case '\0':
          return out;
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '\r':
          if (i + 1 < data.size() && data[i + 1] == '\n') ++i;
          out += "\r\n";
          break;
        case '\n':
          out += "\r\n";
          break;
        default:
          out += data[i];
      }
    }
    return out;
  };
  // The short form reads and writes fixed spans, allocated to their exact sizes; the bytes read
  // after the data (a line feed after a final CR, specials) must not show.
  const auto escape_short = [](std::string_view data) {
    const std::string read = std::string(data) + std::string(kEscapeShortRead - data.size(), '\n');
    const auto copy = exact_copy(read);
    const auto room = std::make_unique<char[]>(kEscapeShortRoom);
    const std::size_t n = escape_short_content(reinterpret_cast<const std::uint8_t*>(copy.get()),
                                               data.size(), room.get());
    return std::string(room.get(), n);
  };
  for (const char special : "&<>\r\n\0"s) {
    for (std::size_t length = 1; length <= 40; ++length) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string data(length, 'p');
        data[at] = special;
        const auto copy = exact_copy(data);
        EXPECT_EQ(escape_content_of({copy.get(), data.size()}), one_by_one(data))
            << int{special} << " at " << at << " of " << length;
        if (length <= kEscapeBlock) {
          EXPECT_EQ(escape_short(data), one_by_one(data))
              << int{special} << " at " << at << " of " << length << ", short";
        }
      }
    }
  }
  for (const std::string& data : {std::string(kEscapeBlock, '&'), "\r\r\n\n<>&\r"s, ""s, "\0&"s}) {
    ASSERT_LE(data.size(), kEscapeBlock);  // eight bytes without SSE2
    EXPECT_EQ(escape_short(data), one_by_one(data));
  }
}

TEST(EscapeContent, WithoutRoomForTheWorstCaseTakesNothing) {
  char dest[kEscapeMaxExpansion - 1];
  const EscapeProgress p = escape_content(as_bytes("abc"), dest);
  EXPECT_FALSE(p.done);
  EXPECT_EQ(p.consumed, 0u);
  EXPECT_EQ(p.written, 0u);
  // The end of the data needs no room.
  EXPECT_TRUE(escape_content(as_bytes(""), std::span<char>()).done);
  EXPECT_TRUE(escape_content(as_bytes("\0a"s), std::span<char>()).done);
}

}  // namespace
}  // namespace tbl2tblx
