// The document walk: the window over a document, the last tag taken and what stands after it,
// and the scans that take the tags the grammar (tblx_to_tbl.cpp) asks for. Inline, as the
// grammar takes a dozen tags for every record.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "convert/convert.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {

// What stands after the last tag the walk took. Exactly one of these holds at any time: scan()
// moves on from each, read_text() takes kText, and the direct reads (as_written.hpp) start from
// kMarkup or kText and leave one of the two.
enum class After : std::uint8_t {
  kMarkup,        // markup is next: the reader stands on its '<'
  kText,          // the element's text: for read_text, or to be passed over by the next scan
  kEmptyElement,  // the tag was "<x/>": its end tag is next, made from it (at markup already)
  kEnd,           // read_text met the end of the document: the next scan fails at the tag
  kOpenMarkup,    // read_text met markup that the document ends inside: the next scan fails
};

struct Reader {
  InputWindow& in;
  TagScan scan;
  After after = After::kMarkup;
  bool utf8 = false;  // names and strings are decoded from UTF-8
  char tag[kTagBufferSize] = {};
  DocumentOutcome outcome;
  RunContext& run;

  Reader(InputWindow& document, RunContext& context) : in(document), run(context) {
    scan.keep = {kAttrWrite, kAttrEncoding};
  }
};

// A parse error at the last tag taken; always 1.
int parse_error(Reader& r);

// Takes the document's first bytes for what they say of its encoding: UTF-16 from here on
// stands in the window as UTF-8, and UTF-32 is refused at line 1. Then a zero byte ends the
// text, and a byte order mark is passed over.
[[nodiscard]] int open_text(Reader& r);

// Whether the last tag taken has the element name `name` (a literal: its length folds away).
[[gnu::always_inline]] inline bool is(const Reader& r, std::string_view name) {
  return tag_is(r.tag, name);
}

// "<x/>" and "<x .../>" stand for "<x ...></x>": the end tag is made from the start tag.
void close_empty_element(Reader& r);

// Fails for what the last text left behind; passes over a text that was not read.
[[gnu::always_inline]] inline int settle_last_text(Reader& r) {
  switch (r.after) {
    case After::kMarkup:
      return 0;
    case After::kText:
      r.after = After::kMarkup;
      return skip_to_markup(r.in, r.scan) == 0 ? 0 : parse_error(r);
    case After::kEnd:
      return parse_error(r);
    case After::kOpenMarkup:
      r.scan.current_line += r.scan.pending_lines;
      r.scan.pending_lines = 0;
      r.tag[0] = '\0';
      return parse_error(r);
    case After::kEmptyElement:
      break;
  }
  return 0;
}

// What a scan is told. The text after a start tag named TextOf is left where it stands for
// read_text; any other text is passed over at once. The tags named Likely, when they stand next
// exactly as the tool writes them, are taken without the tag walk's copy.
struct TextOf {
  std::string_view name;
};
struct Likely {
  std::string_view first;
  std::string_view second = {};
};

// Takes the next tag. The document must go on after every tag but the closing root tag.
[[gnu::always_inline]] inline int scan(Reader& r, TextOf text_of, Likely likely) {
  if (r.after == After::kEmptyElement) {
    close_empty_element(r);
    r.after = After::kMarkup;
    return 0;
  }
  if (settle_last_text(r) != 0) return 1;
  const bool direct = r.run.direct_reads;
  const bool taken =
      direct &&
      ((!likely.first.empty() && take_tag_as_written(r.in, r.scan, r.tag, likely.first)) ||
       (!likely.second.empty() && take_tag_as_written(r.in, r.scan, r.tag, likely.second)));
  if (!taken && next_tag(r.in, r.scan, r.tag) != 0) return parse_error(r);
  // XML writes "/>" together; the source is looked at first, as nearly no tag is empty.
  const bool empty = r.scan.slash_close && is_empty_element(r.tag);
  const bool closing_root = r.tag[1] == '/' && is(r, "/tblx");
  if (!empty && ((!text_of.name.empty() && is(r, text_of.name)) || closing_root)) {
    r.after = After::kText;
    return 0;
  }
  if (skip_to_markup(r.in, r.scan) != 0) return parse_error(r);
  r.after = empty ? After::kEmptyElement : After::kMarkup;
  return 0;
}
[[gnu::always_inline]] inline int scan(Reader& r) {
  return scan(r, {}, {});
}
[[gnu::always_inline]] inline int scan(Reader& r, TextOf text_of) {
  return scan(r, text_of, {});
}
[[gnu::always_inline]] inline int scan(Reader& r, Likely likely) {
  return scan(r, {}, likely);
}

// The last tag taken must be `name`.
[[gnu::always_inline]] inline int require(Reader& r, std::string_view name) {
  return is(r, name) ? 0 : parse_error(r);
}

// The next tag must be `name`.
[[gnu::always_inline]] inline int expect(Reader& r, std::string_view name) {
  if (scan(r, Likely{name}) != 0) return 1;
  return require(r, name);
}

// The next tag must be the start tag `name`, whose text is read next.
[[gnu::always_inline]] inline int expect_text(Reader& r, std::string_view name) {
  if (scan(r, TextOf{name}, Likely{name}) != 0) return 1;
  return require(r, name);
}

}  // namespace tbl2tblx
