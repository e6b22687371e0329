// Elements read straight from the window. Nearly every document was written by this tool, and
// its fielddata and record elements are read here when they stand in the window whole, exactly
// as the tool writes them: tags without attributes or white space, ids and values of plain
// digits, line ends and indents between the tags.
//
// The contract of every read here, which the tests hold by reading documents with the direct
// reads on and off (RunContext::direct_reads):
// - it accepts a subset of what the tag walk (reader.hpp) accepts;
// - what it accepts, it reads to the same value;
// - it leaves the reader exactly as the walk would: the last tag stored as the scanner stores
//   it, its line counted, the line feeds after it pending, the window at the next '<' (or at
//   the element's text), and `after` as the walk sets it;
// - anything else (capitals, attributes, comments, signs, blanks, values out of range, an
//   element the window cuts) it leaves untouched, for the walk to read from where it stood.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "convert/digits.hpp"
#include "convert/reader.hpp"
#include "formats/formats.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {

struct AsWritten {
  const char* at;
  const char* end;
  std::int64_t lines = 0;              // the line feeds passed
  std::int64_t lines_to_last_tag = 0;  // of which before the '<' of the last tag
};

[[gnu::always_inline]] inline bool literal(AsWritten& w, std::string_view text) {
  if (static_cast<std::size_t>(w.end - w.at) < text.size() ||
      !same_bytes(w.at, text.data(), text.size())) {
    return false;
  }
  w.at += text.size();
  return true;
}

// A type name as written (in lower case).
inline bool type_name(AsWritten& w, std::uint8_t& code) {
  static_assert(kTypeNames[kInt2] == "int2" && kTypeNames[kInt4] == "int4" &&
                kTypeNames[kString] == "string" && kTypeNames[kBlob] == "blob");
  if (literal(w, "int2")) {
    code = kInt2;
  } else if (literal(w, "int4")) {
    code = kInt4;
  } else if (literal(w, "string")) {
    code = kString;
  } else if (literal(w, "blob")) {
    code = kBlob;
  } else {
    return false;
  }
  return true;
}

// White space up to the next '<', which must be in the window.
[[gnu::always_inline]] inline bool spaces_to_markup(AsWritten& w) {
  w.at = skip_xml_spaces(w.at, w.end, w.lines);
  return w.at < w.end && *w.at == '<';
}

// The last tag: its '<' is at w.at, and the line feeds after it will be pending.
[[gnu::always_inline]] inline bool last_tag(AsWritten& w, std::string_view tag) {
  w.lines_to_last_tag = w.lines;
  return literal(w, tag);
}

// The reader as the walk leaves it once it has passed the end tag `end_tag` and the white space
// after it: the tag stored, its line counted, the line feeds after it pending, the window at
// the next '<'.
[[gnu::always_inline]] inline void leave_as_walked(Reader& r, const AsWritten& w,
                                                   std::string_view end_tag) {
  r.scan.current_line += r.scan.pending_lines + w.lines_to_last_tag;
  r.scan.pending_lines = w.lines - w.lines_to_last_tag;
  r.scan.slash_close = false;
  r.scan.kept = 0;
  std::memcpy(r.tag, end_tag.data(), end_tag.size());
  r.tag[end_tag.size()] = '\0';
  r.after = After::kMarkup;
  r.in.at = reinterpret_cast<const std::uint8_t*>(w.at);
}

// Whether a direct read may start: they are on, and the reader stands where the walk would
// start from (`after`: at markup, or at the text of the tag just taken).
[[gnu::always_inline]] inline bool may_read_directly(const Reader& r, After after) {
  return r.run.direct_reads && r.after == after;
}

[[gnu::always_inline]] inline AsWritten window_of(const Reader& r) {
  return {reinterpret_cast<const char*>(r.in.at), reinterpret_cast<const char*>(r.in.end)};
}

// "<id>N</id> <type>T</type> " after a fielddata start tag.
[[gnu::always_inline]] inline bool take_id_and_type(Reader& r, std::uint8_t& id,
                                                    std::uint8_t& type) {
  if (!may_read_directly(r, After::kMarkup)) return false;
  AsWritten w = window_of(r);
  std::int64_t value = 0;
  constexpr std::size_t kIdDigits = 3;
  if (!literal(w, "<id>") || !read_plain_number(w.at, w.end, kIdDigits, false, value) ||
      value > std::numeric_limits<std::uint8_t>::max() || !literal(w, "</id>") ||
      !spaces_to_markup(w) || !literal(w, "<type>")) {
    return false;
  }
  std::uint8_t code = 0;
  if (!type_name(w, code) || !last_tag(w, "</type>") || !spaces_to_markup(w)) return false;
  id = static_cast<std::uint8_t>(value);
  type = code;
  leave_as_walked(r, w, "</type>");
  return true;
}

// A start tag written as it is stored (lower case, single spaces, no white space around '='),
// so that `tag` is what the scan stores for it: the reader then stands at its text. Its
// attribute values are not kept: the caller knows them from `tag`.
[[gnu::always_inline]] inline bool take_start_tag(Reader& r, std::string_view tag) {
  if (!may_read_directly(r, After::kMarkup)) return false;
  AsWritten w = window_of(r);
  if (!last_tag(w, tag)) return false;
  leave_as_walked(r, w, tag);
  r.after = After::kText;
  return true;
}

// `<record ndata="N">` and the white space after it.
[[gnu::always_inline]] inline bool take_record_start(Reader& r) {
  if (!may_read_directly(r, After::kMarkup)) return false;
  AsWritten w = window_of(r);
  const char* const start = w.at;
  std::int64_t ndata = 0;
  constexpr std::size_t kNdataDigits = 3;
  if (!last_tag(w, "<record ndata=\"") ||
      !read_plain_number(w.at, w.end, kNdataDigits, false, ndata) || !literal(w, "\">")) {
    return false;
  }
  const std::string_view tag(start, static_cast<std::size_t>(w.at - start));
  if (!spaces_to_markup(w)) return false;
  leave_as_walked(r, w, tag);
  return true;
}

// "</content> </fielddata> ".
[[gnu::always_inline]] inline bool fielddata_end(AsWritten& w) {
  return literal(w, "</content>") && spaces_to_markup(w) && last_tag(w, "</fielddata>") &&
         spaces_to_markup(w);
}

// The end tags after a value's text, read.
[[gnu::always_inline]] inline bool take_fielddata_end(Reader& r) {
  if (!may_read_directly(r, After::kMarkup)) return false;
  AsWritten w = window_of(r);
  if (!fielddata_end(w)) return false;
  leave_as_walked(r, w, "</fielddata>");
  return true;
}

// "N</content> </fielddata> " after a content start tag, for a value of type Int.
template <typename Int>
[[gnu::always_inline]] inline bool take_number_content(
    Reader& r, std::array<std::uint8_t, kInt4Size>& number) {
  if (!may_read_directly(r, After::kText)) return false;
  AsWritten w = window_of(r);
  std::int64_t value = 0;
  constexpr std::size_t kMaxDigits = std::numeric_limits<Int>::digits10 + 1;
  if (!read_plain_number(w.at, w.end, kMaxDigits, true, value) ||
      value < std::numeric_limits<Int>::min() || value > std::numeric_limits<Int>::max() ||
      !fielddata_end(w)) {
    return false;
  }
  number = little_endian_bytes<kInt4Size>(static_cast<std::uint32_t>(value));
  leave_as_walked(r, w, "</fielddata>");
  return true;
}

}  // namespace tbl2tblx
