// The tag scanner: walks a zero-terminated document from tag to tag in one forward pass, copies
// each tag in normalised form and keeps the line count that parse errors report.
#include <array>
#include <cstring>

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

bool is_comment_open(const char* p) {
  return p[1] == '!' && p[2] == '-' && p[3] == '-';
}

// The '<' of the next tag at or after `p`, passing over comments; nullptr when the text ends
// first. Every LF before that '<' counts towards current_line.
const char* find_tag_open(const char* p) {
  constexpr std::size_t kCommentOpenLength = 4;  // "<!--"
  constexpr std::size_t kCommentCloseLength = 3;
  for (;;) {
    p = skip_to_angle(p, current_line);
    if (*p == '\0') return nullptr;
    if (!is_comment_open(p)) return p;
    const char* close = std::strstr(p + kCommentOpenLength, "-->");
    if (close == nullptr) {
      current_line += count_line_ends(p, p + std::strlen(p));
      return nullptr;
    }
    current_line += count_line_ends(p, close);
    p = close + kCommentCloseLength;
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
  return (*t == ' ' || *t == '>') ? 0 : 1;
}

}  // namespace tbl2tblx
