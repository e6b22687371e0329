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

std::int64_t count_line_ends(const char* begin, const char* end) {
  return std::count(begin, end, '\n');
}

// Moves in.at to the next '<', refilling; 1 (everything passed) when the document ends first.
int skip_to_angle(InputWindow& in, std::int64_t& lines) {
  for (;;) {
    if (have_byte(in) != 0) return 1;
    const char* angle = find_angle(window_at(in), window_end(in), lines);
    move_to(in, angle);
    if (angle != window_end(in)) return 0;
  }
}

// Passes the rest of the document, counting its LFs.
void skip_to_end(InputWindow& in, std::int64_t& lines) {
  while (have_byte(in) == 0) {
    lines += count_line_ends(window_at(in), window_end(in));
    move_to(in, window_end(in));
  }
}

// Passes over everything up to and including the next `close`; 1 when the document ends first.
int skip_past(InputWindow& in, std::string_view close, std::int64_t& lines) {
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

// ---- Copying a tag -----------------------------------------------------------------------------

// Where the copy of a tag stands in the tag's form.
enum class TagPart : std::uint8_t {
  kLead,          // white space after the '<'
  kName,          // the element name
  kEndLead,       // after "</": white space before the name
  kEndName,       // an end tag's name
  kEndTrail,      // white space after an end tag's name
  kSpace,         // white space after the name or a value: an attribute, '/' or '>' next
  kAttrName,      // an attribute's name
  kBeforeEquals,  // white space after an attribute's name
  kAfterEquals,   // the '=' and white space after it: a quote next
  kValue,         // inside the quotes
  kAfterValue,    // just past the closing quote
  kClosing,       // the '/' (or a declaration's '?'): the '>' next
  kLoose,         // "<!...": anything up to the first '>'
};

// Copying one tag: where the stored characters stand, the state of white space and '=' in the
// normalised text, and where the tag's form stands.
struct TagCopy {
  char* out;
  char* full;
  bool space = true;  // as if a space had just been stored: drops the whitespace after the '<'
  bool equals = false;
  bool cut = false;  // a character of the normalised text did not fit
  TagPart part = TagPart::kLead;
  char quote = '\0';
  bool declaration = false;  // the name starts with '?': "?>" closes it
  bool slash = false;        // kClosing came from a '/'
  std::array<char, kKeptNameSize> attribute = {};
  std::size_t attribute_size = 0;
  int keeping = -1;  // the kept attribute whose value is being read
};

enum class CopyStep : std::uint8_t { kMore, kClosed, kFailed };

// Bytes that may stand in element and attribute names: all but white space, the zero and the
// bytes that give a tag its form.
constexpr std::array<bool, 256> make_name_bytes() {
  std::array<bool, 256> set{};
  for (std::size_t c = 1; c < set.size(); ++c)
    set[c] = true;
  for (const char c : std::string_view(" \t\r\n=<>\"'/"))
    set[static_cast<unsigned char>(c)] = false;
  return set;
}
constexpr std::array<bool, 256> kNameBytes = make_name_bytes();

bool is_name_byte(char c) {
  return kNameBytes[static_cast<unsigned char>(c)];
}

void store(TagCopy& copy, char c) {
  copy.space = copy.equals = false;
  if (copy.out == copy.full) {
    copy.cut = true;
  } else {
    *copy.out++ = ascii_lower(c);
  }
}

// A space past the full buffer is either trimmed at the end or followed by what sets `cut`.
void store_space(TagCopy& copy) {
  if (copy.space || copy.equals) return;
  copy.space = true;
  if (copy.out != copy.full) *copy.out++ = ' ';
}

void store_equals(TagCopy& copy) {
  const bool after_space = copy.out[-1] == ' ';
  store(copy, '=');
  if (after_space && !copy.cut) {
    --copy.out;
    copy.out[-1] = '=';
  }
  copy.equals = true;
}

// An attribute's name is complete: its value is kept when it is one of scan.keep. false for an
// attribute kept twice.
bool end_attribute_name(TagCopy& copy, TagScan& scan) {
  copy.keeping = -1;
  const std::string_view name(copy.attribute.data(),
                              std::min(copy.attribute_size, copy.attribute.size()));
  for (std::size_t i = 0; i < kKeptAttributes; ++i) {
    if (scan.keep[i].empty() || copy.attribute_size != scan.keep[i].size() ||
        name != scan.keep[i]) {
      continue;
    }
    const auto bit = static_cast<std::uint8_t>(1u << i);
    if ((scan.kept & bit) != 0) return false;
    scan.kept |= bit;
    scan.values[i].size = 0;
    copy.keeping = static_cast<int>(i);
  }
  return true;
}

void add_to_attribute_name(TagCopy& copy, char c) {
  if (copy.attribute_size < copy.attribute.size())
    copy.attribute[copy.attribute_size] = ascii_lower(c);
  ++copy.attribute_size;
}

void keep_value_byte(KeptValue& kept, char c) {
  if (kept.size < kept.bytes.size()) kept.bytes[kept.size] = c;
  ++kept.size;
}

// A byte of a value or of "<!...>", as the normalised text holds it.
void store_normalised(TagCopy& copy, char c) {
  if (is_xml_space(c)) {
    store_space(copy);
  } else if (c == '=') {
    store_equals(copy);
  } else {
    store(copy, c);
  }
}

CopyStep close_with(TagCopy& copy, TagPart next, char c) {
  store(copy, c);
  copy.part = next;
  return CopyStep::kMore;
}

// The first byte after the '<' and the white space after it.
CopyStep lead_byte(TagCopy& copy, char c) {
  if (is_xml_space(c)) return CopyStep::kMore;
  if (c == '/') return close_with(copy, TagPart::kEndLead, c);
  if (!is_name_byte(c)) return CopyStep::kFailed;
  copy.declaration = c == '?';
  return close_with(copy, c == '!' ? TagPart::kLoose : TagPart::kName, c);
}

// Where a start tag may end or go on: after its name, white space or a value.
CopyStep after_item_byte(TagCopy& copy, char c) {
  if (c == '>') return CopyStep::kClosed;
  if (c == '/' || (c == '?' && copy.declaration)) {
    copy.slash = c == '/';
    return close_with(copy, TagPart::kClosing, c);
  }
  if (is_xml_space(c)) {
    store_space(copy);
    copy.part = TagPart::kSpace;
    return CopyStep::kMore;
  }
  if (copy.part != TagPart::kSpace || !is_name_byte(c)) return CopyStep::kFailed;
  copy.attribute_size = 0;
  add_to_attribute_name(copy, c);
  return close_with(copy, TagPart::kAttrName, c);
}

CopyStep attribute_byte(TagCopy& copy, char c, TagScan& scan) {
  if (copy.part == TagPart::kAttrName && is_name_byte(c)) {
    add_to_attribute_name(copy, c);
    store(copy, c);
    return CopyStep::kMore;
  }
  if (copy.part == TagPart::kAttrName && !end_attribute_name(copy, scan)) return CopyStep::kFailed;
  if (is_xml_space(c)) {
    store_space(copy);
    if (copy.part == TagPart::kAttrName) copy.part = TagPart::kBeforeEquals;
    return CopyStep::kMore;
  }
  if (c == '=' && copy.part != TagPart::kAfterEquals) {
    store_equals(copy);
    copy.part = TagPart::kAfterEquals;
    return CopyStep::kMore;
  }
  if (copy.part != TagPart::kAfterEquals || (c != '"' && c != '\'')) return CopyStep::kFailed;
  copy.quote = c;
  return close_with(copy, TagPart::kValue, c);
}

CopyStep value_byte(TagCopy& copy, char c, TagScan& scan) {
  if (c == '<') return CopyStep::kFailed;
  if (c == copy.quote) {
    copy.keeping = -1;
    return close_with(copy, TagPart::kAfterValue, c);
  }
  if (copy.keeping >= 0) keep_value_byte(scan.values[static_cast<std::size_t>(copy.keeping)], c);
  store_normalised(copy, c);
  return CopyStep::kMore;
}

// An end tag: its name, then nothing but white space.
CopyStep end_tag_byte(TagCopy& copy, char c) {
  if (is_xml_space(c)) {
    store_space(copy);
    if (copy.part == TagPart::kEndName) copy.part = TagPart::kEndTrail;
    return CopyStep::kMore;
  }
  if (c == '>' && copy.part != TagPart::kEndLead) return CopyStep::kClosed;
  if (!is_name_byte(c) || copy.part == TagPart::kEndTrail) return CopyStep::kFailed;
  return close_with(copy, TagPart::kEndName, c);
}

// "<!...>": stored as it stands, normalised, up to the first '>'.
CopyStep loose_byte(TagCopy& copy, char c) {
  if (c == '>') return CopyStep::kClosed;
  store_normalised(copy, c);
  return CopyStep::kMore;
}

// One byte of a tag: stored normalised, and held to the tag's form.
CopyStep take_tag_byte(TagCopy& copy, char c, TagScan& scan) {
  if (c == '\0') return CopyStep::kFailed;
  switch (copy.part) {
    case TagPart::kLead:
      return lead_byte(copy, c);
    case TagPart::kName:
      if (is_name_byte(c)) {
        store(copy, c);
        return CopyStep::kMore;
      }
      return after_item_byte(copy, c);
    case TagPart::kSpace:
    case TagPart::kAfterValue:
      return after_item_byte(copy, c);
    case TagPart::kAttrName:
    case TagPart::kBeforeEquals:
    case TagPart::kAfterEquals:
      return attribute_byte(copy, c, scan);
    case TagPart::kValue:
      return value_byte(copy, c, scan);
    case TagPart::kClosing:
      return c == '>' ? CopyStep::kClosed : CopyStep::kFailed;
    case TagPart::kEndLead:
    case TagPart::kEndName:
    case TagPart::kEndTrail:
      return end_tag_byte(copy, c);
    case TagPart::kLoose:
      return loose_byte(copy, c);
  }
  return CopyStep::kFailed;
}

// Copies the bytes of a tag from [p, end) into `copy`; `p` moves to the '>', to the byte the
// tag fails at, or to `end`. Every LF passed is pending.
CopyStep copy_tag_bytes(TagCopy& copy, const char*& p, const char* end, TagScan& scan) {
  for (; p < end; ++p) {
    if (*p == '\n') ++scan.pending_lines;
    const CopyStep step = take_tag_byte(copy, *p, scan);
    if (step != CopyStep::kMore) return step;
  }
  return CopyStep::kMore;
}

// Ends the stored text with '>' and the zero: its trailing spaces dropped, unless it was cut
// (then it is the first kTagMaxChars characters as they are).
void finish_copy(TagCopy& copy) {
  char* out = copy.out;
  if (!copy.cut) {
    while (out[-1] == ' ')
      --out;
  }
  out[0] = '>';
  out[1] = '\0';
}

// ---- Markup that is no tag -------------------------------------------------------------------

enum class Doctype : std::uint8_t { kPassed, kTag, kEnded };

// The document type declaration whose '<' is at in.at, walked forward once whatever its length:
// passed over up to its '>' (quoted literals taken as they stand), its LFs counted towards
// current_line; or, when an internal subset ('[') opens before that, taken as a tag for the
// reader to refuse, its text copied as "<!..." up to the first '>' and its LFs pending. kEnded
// when the document ends first (`tag` is then left for the caller to empty).
Doctype read_doctype(InputWindow& in, TagScan& scan, char* tag) {
  TagCopy copy{tag + 1, tag + 1 + kTagMaxChars};
  copy.part = TagPart::kLoose;
  tag[0] = '<';
  ++in.at;
  bool copied = false;
  bool subset = false;
  char quote = '\0';
  std::int64_t lines = 0;
  while (have_byte(in) == 0) {
    const char* end = window_end(in);
    for (const char* p = window_at(in); p < end; ++p) {
      const char c = *p;
      if (c == '\n') ++lines;
      if (!copied) copied = loose_byte(copy, c) == CopyStep::kClosed;
      if (quote != '\0') {
        if (c == quote) quote = '\0';
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        subset = true;
      } else if (c == '>' && !subset) {
        move_to(in, p + 1);
        scan.current_line += lines;
        return Doctype::kPassed;
      }
      if (subset && copied) {
        move_to(in, p + 1);
        scan.pending_lines += lines;
        finish_copy(copy);
        return Doctype::kTag;
      }
    }
    move_to(in, end);
  }
  (subset ? scan.pending_lines : scan.current_line) += lines;
  return Doctype::kEnded;
}

enum class TagOpen : std::uint8_t { kFound, kTaken, kEnded };

// Moves in.at to the '<' of the next tag, passing over comments, CDATA sections, processing
// instructions and document type declarations; kTaken for a declaration taken as the tag in
// `tag` (in.at past it), kEnded when the document ends first. Every LF before that '<' is added
// to current_line.
TagOpen find_tag_open(InputWindow& in, TagScan& scan, char* tag) {
  std::int64_t& lines = scan.current_line;
  for (;;) {
    if (skip_to_angle(in, lines) != 0) return TagOpen::kEnded;
    int ended = 0;
    switch (markup_at(in)) {
      case Markup::kTag:
        return TagOpen::kFound;
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
      case Markup::kDoctype:
        switch (read_doctype(in, scan, tag)) {
          case Doctype::kPassed:
            break;
          case Doctype::kTag:
            return TagOpen::kTaken;
          case Doctype::kEnded:
            return TagOpen::kEnded;
        }
        break;
    }
    if (ended != 0) return TagOpen::kEnded;
  }
}

// The usual tag, copied sixteen bytes at once: fewer than sixteen characters, none of them a
// byte up to the space, '=', '<', a quote or a capital, a '/' only first or last, and its '>' in
// the window. false (nothing copied) for any other tag.
bool copy_plain_tag(InputWindow& in, char* tag, TagScan& scan) {
  static_assert(kScanBlock + 2 <= kTagBufferSize);
  if (input_available(in) < kScanBlock) return false;
  const auto* at = reinterpret_cast<const char*>(in.at);
  const std::size_t length = plain_tag_length(at);
  if (length == 0 || at[0] == '!') return false;
  std::memcpy(tag + 1, at, kScanBlock);
  tag[1 + length] = '>';
  tag[2 + length] = '\0';
  scan.slash_close = at[length - 1] == '/';
  in.at += length + 1;
  return true;
}

// Copies the tag whose characters start at in.at (just after its '<') into `tag` behind the '<'
// already stored there, normalised; in.at then stands past its '>'. 1 when the document ends
// first, the tag holds nothing but whitespace or it is not formed as a tag. Every LF passed is
// pending.
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
  finish_copy(copy);
  scan.slash_close = copy.part == TagPart::kClosing && copy.slash;
  return 0;
}

}  // namespace

int next_tag(InputWindow& in, TagScan& scan, char* tag) {
  if (have_byte(in) != 0) return 1;
  scan.current_line += scan.pending_lines;
  scan.pending_lines = 0;
  scan.slash_close = false;
  scan.kept = 0;
  tag[0] = '\0';
  // Nearly always the scan stands on the '<' of a tag already.
  const bool at_tag =
      input_available(in) >= 2 && in.at[0] == '<' && in.at[1] != '!' && in.at[1] != '?';
  if (!at_tag) {
    switch (find_tag_open(in, scan, tag)) {
      case TagOpen::kFound:
        break;
      case TagOpen::kTaken:
        return 0;
      case TagOpen::kEnded:
        tag[0] = '\0';
        return 1;
    }
  }
  tag[0] = '<';
  ++in.at;
  if (copy_tag(in, tag, scan) != 0) {
    tag[0] = '\0';
    scan.kept = 0;
    return 1;
  }
  return 0;
}

int skip_to_markup_refilling(InputWindow& in, TagScan& scan) {
  return skip_to_angle(in, scan.pending_lines);
}

bool kept_attribute(const TagScan& scan, std::string_view name, std::string_view& value,
                    bool& whole) {
  for (std::size_t i = 0; i < kKeptAttributes; ++i) {
    if ((scan.kept & 1u << i) == 0 || scan.keep[i] != name) continue;
    const KeptValue& kept = scan.values[i];
    whole = kept.size <= kKeptValueSize;
    value = {kept.bytes.data(), std::min(kept.size, kKeptValueSize)};
    return true;
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
