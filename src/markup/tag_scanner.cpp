// The tag scanner: walks a document through a window from tag to tag in one forward pass,
// copies each tag in normalised form, keeps the line count that parse errors report, and walks
// element texts piece by piece.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

// '<', the stored characters, '>' and the terminating zero.
static_assert(kTagBufferSize == 1 + kTagMaxChars + 1 + 1);

// What the copy of a tag stores for each byte: A to Z lowered, every other byte as it is (bytes
// from 128 up included, whatever the locale), and 0 for the bytes it treats apart: whitespace,
// '=', '>' and zero.
constexpr std::array<char, 256> make_tag_char_table() {
  std::array<char, 256> table{};
  for (int c = 1; c < 256; ++c) {
    table[static_cast<std::size_t>(c)] = ascii_lower(static_cast<char>(c));
  }
  for (const char c : std::string_view(" \t\r\n=>"))
    table[static_cast<unsigned char>(c)] = '\0';
  return table;
}
constexpr std::array<char, 256> kTagChars = make_tag_char_table();

// The longest opening that tells markup apart: "<![CDATA[" and "<!doctype".
constexpr std::size_t kMarkupLookahead = 9;
constexpr std::string_view kDoctypeOpen = "<!doctype";
constexpr std::string_view kDeclarationName = "xml";

const char* window_at(const InputWindow& in) {
  return reinterpret_cast<const char*>(in.at);
}

const char* window_end(const InputWindow& in) {
  return reinterpret_cast<const char*>(in.end);
}

void move_to(InputWindow& in, const char* p) {
  in.at = reinterpret_cast<const std::uint8_t*>(p);
}

// Makes a byte available at in.at; 1 when the document has ended.
int have_byte(InputWindow& in) {
  return in.at != in.end ? 0 : input_fill(in, 1);
}

std::int32_t count_line_ends(const char* begin, const char* end) {
  return static_cast<std::int32_t>(std::count(begin, end, '\n'));
}

// Moves in.at to the next '<', refilling; 1 (everything passed) when the document ends first.
int skip_to_angle(InputWindow& in, std::int32_t& lines) {
  for (;;) {
    if (have_byte(in) != 0) return 1;
    const char* angle = find_angle(window_at(in), window_end(in), lines);
    move_to(in, angle);
    if (angle != window_end(in)) return 0;
  }
}

// Passes the rest of the document, counting its LFs.
void skip_to_end(InputWindow& in, std::int32_t& lines) {
  while (have_byte(in) == 0) {
    lines += count_line_ends(window_at(in), window_end(in));
    move_to(in, window_end(in));
  }
}

// Passes over everything up to and including the next `close`; 1 when the document ends first.
int skip_past(InputWindow& in, std::string_view close, std::int32_t& lines) {
  for (;;) {
    if (input_need(in, close.size()) != 0) {
      skip_to_end(in, lines);
      return 1;
    }
    const std::string_view window(window_at(in), input_available(in));
    const std::size_t found = window.find(close);
    const std::size_t passed =
        found != std::string_view::npos ? found + close.size() : window.size() - (close.size() - 1);
    lines += count_line_ends(window.data(), window.data() + passed);
    move_to(in, window.data() + passed);
    if (found != std::string_view::npos) return 0;
  }
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.starts_with(prefix);
}

bool starts_with_ignoring_case(std::string_view text, std::string_view lower) {
  return text.size() >= lower.size() && equals_ignoring_case(text.substr(0, lower.size()), lower);
}

// What a '<' opens, read from the window at in.at (at least kMarkupLookahead bytes there
// unless the document ends sooner).
enum class Markup : std::uint8_t { kTag, kComment, kCdata, kInstruction, kDoctype };

Markup markup_kind(std::string_view text) {
  if (text.size() < 2 || (text[1] != '!' && text[1] != '?')) return Markup::kTag;
  if (starts_with(text, kCommentOpen)) return Markup::kComment;
  if (starts_with(text, kCdataOpen)) return Markup::kCdata;
  if (starts_with(text, kInstructionOpen)) {
    const std::string_view name = text.substr(kInstructionOpen.size());
    const std::size_t after = kInstructionOpen.size() + kDeclarationName.size();
    const bool declaration =
        starts_with_ignoring_case(name, kDeclarationName) && after < text.size() &&
        (is_xml_space(text[after]) || text[after] == '?' || text[after] == '>');
    return declaration ? Markup::kTag : Markup::kInstruction;
  }
  if (starts_with_ignoring_case(text, kDoctypeOpen)) return Markup::kDoctype;
  return Markup::kTag;
}

Markup markup_at(InputWindow& in) {
  // Nearly every '<' opens a tag: its next byte tells at once.
  if (input_available(in) >= 2 && in.at[1] != '!' && in.at[1] != '?') return Markup::kTag;
  input_look_ahead(in, kMarkupLookahead);
  return markup_kind({window_at(in), input_available(in)});
}

// The length of the document type declaration at the start of `text` up to its '>' (passing
// over quoted literals), or 0 when `text` ends first; `subset` tells whether an internal subset
// ('[') opens before that.
std::size_t doctype_length(std::string_view text, bool& subset) {
  subset = false;
  char quote = '\0';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != '\0') {
      if (c == quote) quote = '\0';
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      subset = true;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return 0;
}

// A document type declaration is held whole in the window to tell whether it has an internal
// subset: it then stands as a tag (for the reader to refuse), otherwise it is passed over.
// 1 when it is passed and the document ends inside it.
int read_doctype(InputWindow& in, std::int32_t& lines, bool& is_tag) {
  std::size_t length = 0;
  bool subset = false;
  for (;;) {
    length = doctype_length({window_at(in), input_available(in)}, subset);
    if (length != 0 || input_fill(in, input_available(in) + 1) != 0) break;
  }
  is_tag = subset;
  if (subset) return 0;
  if (length == 0) {
    skip_to_end(in, lines);
    return 1;
  }
  lines += count_line_ends(window_at(in), window_at(in) + length);
  move_to(in, window_at(in) + length);
  return 0;
}

// Moves in.at to the '<' of the next tag, passing over comments, CDATA sections, processing
// instructions and a document type declaration; 1 when the document ends first. Every LF
// before that '<' is added to `lines`.
int find_tag_open(InputWindow& in, std::int32_t& lines) {
  for (;;) {
    if (skip_to_angle(in, lines) != 0) return 1;
    const Markup kind = markup_at(in);
    int ended = 0;
    switch (kind) {
      case Markup::kTag:
        return 0;
      case Markup::kComment:
        in.at += kCommentOpen.size();
        ended = skip_past(in, kCommentClose, lines);
        break;
      case Markup::kCdata:
        in.at += kCdataOpen.size();
        ended = skip_past(in, kCdataClose, lines);
        break;
      case Markup::kInstruction:
        in.at += kInstructionOpen.size();
        ended = skip_past(in, kInstructionClose, lines);
        break;
      case Markup::kDoctype: {
        bool is_tag = false;
        ended = read_doctype(in, lines, is_tag);
        if (ended == 0 && is_tag) return 0;
        break;
      }
    }
    if (ended != 0) return 1;
  }
}

// Copying one tag: where the stored characters stand, and the state of white space and '='.
struct TagCopy {
  char* out;
  char* full;
  bool space = true;  // as if a space had just been stored: drops the whitespace after the '<'
  bool equals = false;
  char last = '<';  // the byte before the one being looked at, as written
};

enum class CopyStep : std::uint8_t { kMore, kClosed, kFailed };

// Copies the bytes of a tag from [p, end) into `copy`; `p` moves to the '>' or to `end`.
CopyStep copy_tag_bytes(TagCopy& copy, const char*& p, const char* end, TagScan& scan) {
  for (; p < end; ++p) {
    const char c = *p;
    const char stored = kTagChars[static_cast<unsigned char>(c)];
    if (stored != '\0') {
      if (copy.out == copy.full) return CopyStep::kFailed;
      *copy.out++ = stored;
      copy.space = copy.equals = false;
    } else if (c == '>') {
      return CopyStep::kClosed;
    } else if (c == '\0' || copy.out == copy.full) {
      return CopyStep::kFailed;
    } else if (c == '=') {
      copy.space = false;
      copy.equals = true;
      if (copy.out[-1] == ' ') {
        copy.out[-1] = '=';
      } else {
        *copy.out++ = '=';
      }
    } else {
      if (c == '\n') ++scan.pending_lines;
      if (!copy.space && !copy.equals) {
        *copy.out++ = ' ';
        copy.space = true;
      }
    }
    copy.last = c;
  }
  return CopyStep::kMore;
}

// The usual tag, copied sixteen bytes at once: fewer than sixteen characters, none of them a
// byte up to the space, '=' or a capital, and its '>' in the window. false (nothing copied)
// for any other tag.
bool copy_plain_tag(InputWindow& in, char* tag, TagScan& scan) {
  static_assert(kScanBlock + 2 <= kTagBufferSize);
  if (input_available(in) < kScanBlock) return false;
  const auto* at = reinterpret_cast<const char*>(in.at);
  const std::size_t length = plain_tag_length(at);
  if (length == 0) return false;
  std::memcpy(tag + 1, at, kScanBlock);
  tag[1 + length] = '>';
  tag[2 + length] = '\0';
  scan.slash_close = at[length - 1] == '/';
  in.at += length + 1;
  return true;
}

// Copies the tag whose characters start at in.at (just after its '<') into `tag` behind the '<'
// already stored there, normalised; in.at then stands past its '>'. 1 when the document ends
// first, the tag is too long or it holds nothing but whitespace. Every LF passed is pending.
int copy_tag(InputWindow& in, char* tag, TagScan& scan) {
  if (copy_plain_tag(in, tag, scan)) return 0;
  TagCopy copy{tag + 1, tag + 1 + kTagMaxChars};
  for (;;) {
    if (have_byte(in) != 0) return 1;
    const char* p = window_at(in);
    const CopyStep step = copy_tag_bytes(copy, p, window_end(in), scan);
    move_to(in, p);
    if (step == CopyStep::kFailed) return 1;
    if (step == CopyStep::kClosed) break;
  }
  ++in.at;
  char* out = copy.out;
  while (out[-1] == ' ')
    --out;
  if (out == tag + 1) return 1;
  out[0] = '>';
  out[1] = '\0';
  scan.slash_close = copy.last == '/';
  return 0;
}

}  // namespace

int next_tag(InputWindow& in, TagScan& scan, char* tag) {
  if (have_byte(in) != 0) return 1;
  scan.current_line += scan.pending_lines;
  scan.pending_lines = 0;
  scan.slash_close = false;
  tag[0] = '\0';
  // Nearly always the scan stands on the '<' of a tag already.
  const bool at_tag =
      input_available(in) >= 2 && in.at[0] == '<' && in.at[1] != '!' && in.at[1] != '?';
  if (!at_tag && find_tag_open(in, scan.current_line) != 0) return 1;
  tag[0] = '<';
  ++in.at;
  if (copy_tag(in, tag, scan) != 0) {
    tag[0] = '\0';
    return 1;
  }
  return 0;
}

int skip_to_markup_refilling(InputWindow& in, TagScan& scan) {
  return skip_to_angle(in, scan.pending_lines);
}

namespace {

// The quoted value that follows `name=` at `at` in a normalised tag; empty view and false when
// no quote follows or it is not closed.
bool quoted_value(std::string_view tag, std::size_t at, std::string_view& value) {
  if (at >= tag.size() || (tag[at] != '"' && tag[at] != '\'')) return false;
  const std::size_t close = tag.find(tag[at], at + 1);
  if (close == std::string_view::npos) return false;
  value = tag.substr(at + 1, close - at - 1);
  return true;
}

}  // namespace

bool tag_has_attribute(const char* tag, std::string_view name, std::string_view value) {
  const std::string_view text(tag);
  for (std::size_t at = text.find(name); at != std::string_view::npos;
       at = text.find(name, at + 1)) {
    const std::size_t equals = at + name.size();
    std::string_view found;
    if (equals < text.size() && text[equals] == '=' && quoted_value(text, equals + 1, found) &&
        found == value) {
      return true;
    }
  }
  return false;
}

bool tag_attribute(const char* tag, std::string_view name, std::string_view& value) {
  const std::string_view text(tag);
  for (std::size_t at = text.find(name); at != std::string_view::npos;
       at = text.find(name, at + 1)) {
    const std::size_t equals = at + name.size();
    if (at > 0 && text[at - 1] == ' ' && equals < text.size() && text[equals] == '=') {
      return quoted_value(text, equals + 1, value);
    }
  }
  return false;
}

bool is_empty_element(const char* tag) {
  const std::size_t length = std::strlen(tag);
  if (length < 4 || tag[1] == '/' || tag[1] == '?' || tag[1] == '!') return false;
  return tag[length - 2] == '/';
}

namespace {

// Character data from in.at: up to the next '<', or short of the window's end by the lookahead.
TextChunk data_chunk(InputWindow& in, TagScan& scan, std::size_t lookahead) {
  if (input_available(in) < lookahead) input_look_ahead(in, lookahead);
  const char* begin = window_at(in);
  const char* limit = window_end(in);
  if (!in.ended && input_available(in) >= lookahead) limit -= lookahead - 1;
  const char* end = find_angle(begin, limit, scan.pending_lines);
  move_to(in, end);
  return {TextEvent::kData, begin, end};
}

// Characters of an open CDATA section from in.at, or its close.
TextChunk cdata_chunk(InputWindow& in, TagScan& scan, TextWalk& walk) {
  if (have_byte(in) != 0) return {TextEvent::kOpenMarkup};
  input_look_ahead(in, kCdataClose.size());
  const std::string_view window(window_at(in), input_available(in));
  if (window.starts_with(kCdataClose)) {
    in.at += kCdataClose.size();
    walk.in_cdata = false;
    return {TextEvent::kCdataEnd};
  }
  std::size_t length = window.find(kCdataClose);
  if (length == std::string_view::npos) {
    const bool last = in.ended || window.size() < kCdataClose.size();
    length = last ? window.size() : window.size() - (kCdataClose.size() - 1);
  }
  const char* begin = window.data();
  scan.pending_lines += count_line_ends(begin, begin + length);
  move_to(in, begin + length);
  return {TextEvent::kCdata, begin, begin + length};
}

// The markup at in.at, a '<', inside a text.
TextChunk markup_in_text(InputWindow& in, TagScan& scan, TextWalk& walk) {
  walk.met_markup = true;
  switch (markup_at(in)) {
    case Markup::kComment:
      in.at += kCommentOpen.size();
      return {skip_past(in, kCommentClose, scan.pending_lines) == 0 ? TextEvent::kBreak
                                                                    : TextEvent::kOpenMarkup};
    case Markup::kInstruction:
      in.at += kInstructionOpen.size();
      return {skip_past(in, kInstructionClose, scan.pending_lines) == 0 ? TextEvent::kBreak
                                                                        : TextEvent::kOpenMarkup};
    case Markup::kCdata:
      in.at += kCdataOpen.size();
      walk.in_cdata = true;
      return {TextEvent::kCdataStart};
    case Markup::kTag:
    case Markup::kDoctype:
      break;
  }
  return {TextEvent::kStop};
}

}  // namespace

TextChunk next_text_chunk(InputWindow& in, TagScan& scan, TextWalk& walk, std::size_t lookahead) {
  if (walk.in_cdata) return cdata_chunk(in, scan, walk);
  if (have_byte(in) != 0) return {TextEvent::kEnd};
  if (*in.at == '<') return markup_in_text(in, scan, walk);
  return data_chunk(in, scan, std::max<std::size_t>(lookahead, 1));
}

}  // namespace tbl2tblx
