// The tag scanner: walks a zero-terminated document from tag to tag in one forward pass, copies
// each tag in normalised form and keeps the line count that parse errors report.
#include <array>
#include <cstring>
#include <string_view>

#include "markup/markup.hpp"

namespace tbl2tblx {

std::int32_t current_line = 0;
std::int32_t pending_lines = 0;

namespace {

// '<', the stored characters, '>' and the terminating zero.
static_assert(kTagBufferSize == 1 + kTagMaxChars + 1 + 1);

// What the copy of a tag stores for each byte: A to Z lowered, every other byte as it is (bytes
// from 128 up included, whatever the locale), and 0 for the bytes it treats apart: whitespace,
// '=', '>' and the terminating zero.
constexpr std::array<char, 256> make_tag_char_table() {
  std::array<char, 256> table{};
  for (int c = 1; c < 256; ++c) {
    const int stored = (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
    table[static_cast<std::size_t>(c)] = static_cast<char>(static_cast<unsigned char>(stored));
  }
  for (const char c : std::string_view(" \t\r\n=>"))
    table[static_cast<unsigned char>(c)] = '\0';
  return table;
}
constexpr std::array<char, 256> kTagChars = make_tag_char_table();

std::int32_t count_line_ends(const char* begin, const char* end) {
  std::int32_t lines = 0;
  for (const void* lf = std::memchr(begin, '\n', static_cast<std::size_t>(end - begin));
       lf != nullptr;) {
    ++lines;
    const char* after = static_cast<const char*>(lf) + 1;
    lf = std::memchr(after, '\n', static_cast<std::size_t>(end - after));
  }
  return lines;
}

// The first '<' at or after `p`, or the terminating zero; the LFs passed are added to `lines`.
const char* skip_to_angle(const char* p, std::int32_t& lines) {
  if (*p == '<') return p;  // the usual case: the caller continues from the last next-tag position
  const char* angle = std::strchr(p, '<');
  const char* stop = angle != nullptr ? angle : p + std::strlen(p);
  lines += count_line_ends(p, stop);
  return stop;
}

bool starts_with(const char* p, std::string_view prefix) {
  return std::strncmp(p, prefix.data(), prefix.size()) == 0;
}

bool starts_with_ignoring_case(const char* p, std::string_view lower) {
  for (const char c : lower) {
    const char lowered = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
    if (lowered != c) return false;
    ++p;
  }
  return true;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The '>' that ends a document type declaration at `p`, passing over quoted literals; nullptr
// when the text ends first. `subset` tells whether an internal subset ('[') opens before it.
const char* doctype_end(const char* p, bool& subset) {
  subset = false;
  for (char quote = '\0'; *p != '\0'; ++p) {
    if (quote != '\0') {
      if (*p == quote) quote = '\0';
    } else if (*p == '"' || *p == '\'') {
      quote = *p;
    } else if (*p == '[') {
      subset = true;
    } else if (*p == '>') {
      return p;
    }
  }
  return nullptr;
}

}  // namespace

Markup markup_declaration_at(const char* p) {
  if (starts_with(p, kCommentOpen)) return Markup::kComment;
  if (starts_with(p, kCdataOpen)) return Markup::kCdata;
  if (starts_with(p, "<?")) {
    const bool declaration =
        starts_with_ignoring_case(p + 2, "xml") && (is_blank(p[5]) || p[5] == '?' || p[5] == '>');
    return declaration ? Markup::kTag : Markup::kInstruction;
  }
  if (starts_with_ignoring_case(p, "<!doctype")) {
    bool subset = false;
    doctype_end(p, subset);
    return subset ? Markup::kTag : Markup::kDoctype;
  }
  return Markup::kTag;
}

const char* markup_end(const char* p, Markup kind) {
  const char* close = nullptr;
  switch (kind) {
    case Markup::kComment:
      close = std::strstr(p + kCommentOpen.size(), kCommentClose.data());
      return close != nullptr ? close + kCommentClose.size() : nullptr;
    case Markup::kCdata:
      close = std::strstr(p + kCdataOpen.size(), kCdataClose.data());
      return close != nullptr ? close + kCdataClose.size() : nullptr;
    case Markup::kInstruction:
      close = std::strstr(p + 2, "?>");
      return close != nullptr ? close + 2 : nullptr;
    case Markup::kDoctype: {
      bool subset = false;
      close = doctype_end(p, subset);
      return close != nullptr ? close + 1 : nullptr;
    }
    case Markup::kTag:
      break;
  }
  return p;
}

namespace {

// The '<' of the next tag at or after `p`, passing over comments, CDATA sections, processing
// instructions and a document type declaration; nullptr when the text ends first. Every LF
// before that '<' counts towards current_line.
const char* find_tag_open(const char* p) {
  for (;;) {
    p = skip_to_angle(p, current_line);
    if (*p == '\0') return nullptr;
    const Markup kind = markup_at(p);
    if (kind == Markup::kTag) return p;
    const char* after = markup_end(p, kind);
    if (after == nullptr) {
      current_line += count_line_ends(p, p + std::strlen(p));
      return nullptr;
    }
    current_line += count_line_ends(p, after);
    p = after;
  }
}

// Copies the tag whose characters start at `p` (just after its '<') into `tag` behind the '<'
// already stored there, normalised. Returns the position of the tag's '>', or nullptr when the
// text ends first, the tag is too long or it holds nothing but whitespace. Every LF passed
// counts towards pending_lines.
const char* copy_tag(const char* p, char* tag) {
  char* out = tag + 1;
  char* const full = out + kTagMaxChars;
  // Starting as if a space had just been stored drops the whitespace after the '<'.
  bool space = true;
  bool equals = false;
  for (;;) {
    const char* const run = p;
    for (char stored; (stored = kTagChars[static_cast<unsigned char>(*p)]) != '\0'; ++p) {
      if (out == full) return nullptr;
      *out++ = stored;
    }
    if (p != run) space = equals = false;
    const char c = *p;
    if (c == '>') break;
    if (c == '\0' || out == full) return nullptr;
    if (c == '=') {
      space = false;
      equals = true;
      if (out[-1] == ' ') {
        out[-1] = '=';
      } else {
        *out++ = '=';
      }
    } else {
      if (c == '\n') ++pending_lines;
      if (!space && !equals) {
        *out++ = ' ';
        space = true;
      }
    }
    ++p;
  }
  while (out[-1] == ' ')
    --out;
  if (out == tag + 1) return nullptr;
  out[0] = '>';
  out[1] = '\0';
  return p;
}

}  // namespace

int next_tag(const char* text, char* tag, const char** content_start, const char** next_tag_pos) {
  if (text == nullptr || tag == nullptr || content_start == nullptr || next_tag_pos == nullptr ||
      *text == '\0') {
    return 1;
  }
  current_line += pending_lines;
  pending_lines = 0;
  tag[0] = '\0';
  *content_start = nullptr;
  *next_tag_pos = nullptr;

  const char* open = find_tag_open(text);
  if (open == nullptr) return 1;
  tag[0] = '<';
  const char* close = copy_tag(open + 1, tag);
  if (close == nullptr) {
    tag[0] = '\0';
    return 1;
  }
  *content_start = close + 1;
  const char* next = skip_to_angle(close + 1, pending_lines);
  if (*next == '<') *next_tag_pos = next;
  return 0;
}

int tag_is(const char* tag, const char* name) {
  if (tag == nullptr || name == nullptr || tag[0] == '\0') return 1;
  const char* t = tag + 1;
  for (; *name != '\0'; ++name, ++t) {
    if (*t != *name) return 1;  // also stops at the tag's zero
  }
  // An empty-element tag has its name followed by "/>".
  return (*t == ' ' || *t == '>' || (t[0] == '/' && t[1] == '>')) ? 0 : 1;
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

bool next_text_piece(const char*& p, TextPiece& piece) {
  for (;;) {
    if (*p != '<') {
      const char* angle = std::strchr(p, '<');
      const char* stop = angle != nullptr ? angle : p + std::strlen(p);
      if (stop == p) return false;  // the end of the text
      piece = {p, stop, false};
      p = stop;
      return true;
    }
    const Markup kind = markup_at(p);
    if (kind == Markup::kTag || kind == Markup::kDoctype) return false;
    const char* after = markup_end(p, kind);
    if (after == nullptr) return false;  // unterminated: the scanner reports it
    if (kind == Markup::kCdata) {
      piece = {p + kCdataOpen.size(), after - kCdataClose.size(), true};
      p = after;
      return true;
    }
    p = after;
  }
}

}  // namespace tbl2tblx
