// Entities and line ends between the two forms of names and string values: the binary form ends
// a line with CR, the document with LF (CR LF once written); '&', '<' and '>' become entities.
// Reading also takes what any XML reader takes for a byte: &quot;, &apos; and numeric
// character references; it refuses what every XML reader refuses, references to entities no
// document can define here and malformed numeric ones.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <utility>

#include "formats/formats.hpp"
#include "markup/markup.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tbl2tblx {

namespace {

constexpr std::string_view kEntityAmp = "&amp;";
constexpr std::string_view kEntityLt = "&lt;";
constexpr std::string_view kEntityGt = "&gt;";

static_assert(kEntityAmp.size() == kEscapeMaxExpansion);
static_assert(kDocumentLineEnd.size() <= kEscapeMaxExpansion);

// The entity written for a reserved character; empty for any other.
constexpr std::string_view entity_for(char c) {
  switch (c) {
    case '&':
      return kEntityAmp;
    case '<':
      return kEntityLt;
    case '>':
      return kEntityGt;
    default:
      return {};
  }
}

// The entities every XML reader knows, with the characters they stand for. The writer uses the
// first three only.
constexpr std::array<std::pair<char, std::string_view>, 5> kPredefinedEntities = {{
    {'&', kEntityAmp},
    {'<', kEntityLt},
    {'>', kEntityGt},
    {'"', "&quot;"},
    {'\'', "&apos;"},
}};

constexpr std::string_view kReferenceStart = "&#";
constexpr char kReferenceHexMark = 'x';
constexpr char kReferenceEnd = ';';
constexpr std::uint32_t kMaxReferenceValue = 0xFF;
// Values are held no higher than this while digits are read, so that no count of digits can
// overflow them; anything above kMaxReferenceValue is refused alike.
constexpr std::uint32_t kReferenceValueCap = kMaxReferenceValue + 1;
// A reference to LF is a line break, read as the binary form's CR, as a written line end is.
constexpr std::uint32_t kLineFeedValue = '\n';

// The value of `c` as a digit in `base` (10 or 16), or -1.
int digit_value(char c, std::uint32_t base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base != 16) return -1;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Characters of an XML name as bytes: ASCII letters, '_', ':' and every byte from 128 up (the
// Latin-1 letters, or UTF-8) may start it; digits, '-' and '.' may follow.
constexpr unsigned kFirstNonAscii = 0x80;
bool is_name_start(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'z') || c == '_' || c == ':' ||
         u >= kFirstNonAscii;
}
bool is_name_char(char c) {
  return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}
// What may stand between "&#" and ';' for the text to be taken as a reference, well-formed or not.
bool is_reference_char(char c) {
  return !is_xml_space(c) && c != '&' && c != '<' && c != kReferenceEnd;
}

constexpr Ampersand kLiteral = {'&', 1};

// The value of the digits of a reference ("65" or "x41"), capped at kReferenceValueCap; 0 when
// they are not a decimal or 'x' and hexadecimal number.
std::uint32_t reference_value(std::string_view digits) {
  std::uint32_t base = 10;
  if (!digits.empty() && digits[0] == kReferenceHexMark) {
    base = 16;
    digits.remove_prefix(1);
  }
  if (digits.empty()) return 0;
  std::uint32_t value = 0;
  for (const char c : digits) {
    const int digit = digit_value(c, base);
    if (digit < 0) return 0;
    value = std::min(value * base + static_cast<std::uint32_t>(digit), kReferenceValueCap);
  }
  return value;
}

// The '&' at the start of `text` followed by characters `is_member` takes, from `from` on: the
// length up to and with the ';' that ends them, or 0 when something else ends them (the '&'
// stands for itself). A run that goes on past the lookahead is too long to be read: -1.
template <class Member>
std::ptrdiff_t delimited_length(std::string_view text, std::size_t from, Member is_member) {
  const bool cut = text.size() > kReferenceLookahead;
  text = text.substr(0, kReferenceLookahead);
  std::size_t i = from;
  while (i < text.size() && is_member(text[i]))
    ++i;
  if (i == text.size()) return cut ? -1 : 0;
  return text[i] == kReferenceEnd ? static_cast<std::ptrdiff_t>(i + 1) : 0;
}

// "&#" ... ';': a byte from 1 to 255, a line-end character read as the binary line break.
Ampersand numeric_reference(std::string_view text) {
  const std::ptrdiff_t length = delimited_length(text, kReferenceStart.size(), is_reference_char);
  if (length == 0) return kLiteral;
  if (length < 0) return {'\0', kReferenceLookahead, false};
  const auto size = static_cast<std::size_t>(length);
  const std::uint32_t value =
      reference_value(text.substr(kReferenceStart.size(), size - kReferenceStart.size() - 1));
  if (value == 0 || value > kMaxReferenceValue) return {'\0', size, false};
  if (value == kLineFeedValue) return {'\r', size};
  return {static_cast<char>(value), size};
}

}  // namespace

Ampersand decode_ampersand(std::string_view text) {
  for (const auto& [c, entity] : kPredefinedEntities) {
    if (text.starts_with(entity)) return {c, entity.size()};
  }
  if (text.starts_with(kReferenceStart)) return numeric_reference(text);
  // '&', a name and ';' is a reference to an entity that no document can define here.
  if (text.size() < 2 || !is_name_start(text[1])) return kLiteral;
  const std::ptrdiff_t length = delimited_length(text, 1, is_name_char);
  if (length == 0) return kLiteral;
  return {'\0', length < 0 ? kReferenceLookahead : static_cast<std::size_t>(length), false};
}

namespace {

constexpr ByteSet make_byte_set(std::string_view members) {
  ByteSet set{};
  for (const char c : members)
    set[static_cast<unsigned char>(c)] = true;
  return set;
}

constexpr ByteSet kEscapeSpecial = make_byte_set(kEscapeStops);

bool is_special(const ByteSet& set, char c) {
  return set[static_cast<unsigned char>(c)];
}

// Plain bytes are copied a block at a time: the block is stored whole, and the output moves on
// by the plain bytes at its start.
constexpr std::size_t kPlainBlock = kEscapeBlock;

void copy_block(char* out, const char* data) {
  std::memcpy(out, data, kPlainBlock);
}

#if defined(__SSE2__)
constexpr std::size_t kHalfBlock = kPlainBlock / 2;

// Eight bytes at a time, for what is left after the blocks.
std::size_t copy_half_block(char* out, const char* data) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(data));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
  return plain_prefix_sse2(bytes, 0xFF);
}
#endif

char* append(char* out, std::string_view piece) {
  std::memcpy(out, piece.data(), piece.size());
  return out + piece.size();
}

struct Escaped {
  std::size_t taken;
  std::size_t written;
};

// The byte at in[i], one that escaping does not copy (but not a zero), of a text of `size` bytes,
// as it is written: an entity, or the document line end for a line break.
Escaped escape_special(const char* in, std::size_t i, std::size_t size, char* out) {
  const char c = in[i];
  if (c == '\r' || c == '\n') {
    const bool crlf = c == '\r' && i + 1 < size && in[i + 1] == '\n';  // one line break
    return {crlf ? 2u : 1u, static_cast<std::size_t>(append(out, kDocumentLineEnd) - out)};
  }
  return {1, static_cast<std::size_t>(append(out, entity_for(c)) - out)};
}

}  // namespace

EscapeProgress escape_content(std::span<const std::uint8_t> data, std::span<char> dest) {
  const char* in = reinterpret_cast<const char*>(data.data());
  const std::size_t size = data.size();
  char* const out = dest.data();
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < size) {
    const char c = in[i];
    if (c == '\0') return {i, o, true};
    const std::size_t room = dest.size() - o;
    if (room < kEscapeMaxExpansion) return {i, o, false};
    if (!is_special(kEscapeSpecial, c)) {
      // A plain byte is taken while the worst case of a byte would still fit behind the output;
      // so a whole block fits while a block of input is left before `stop`.
      const std::size_t stop = std::min(size, i + room - (kEscapeMaxExpansion - 1));
      std::size_t plain = kPlainBlock;
      while (plain == kPlainBlock && stop - i >= kPlainBlock) {
        copy_block(out + o, in + i);
        plain = plain_prefix(in + i);
        i += plain;
        o += plain;
      }
#if defined(__SSE2__)
      if (plain == kPlainBlock && stop - i >= kHalfBlock) {
        plain = copy_half_block(out + o, in + i);
        i += plain;
        o += plain;
      }
#endif
      while (i < stop && !is_special(kEscapeSpecial, in[i]))
        out[o++] = in[i++];
      continue;
    }
    const Escaped escaped = escape_special(in, i, size, out + o);
    i += escaped.taken;
    o += escaped.written;
  }
  return {i, o, true};
}

std::size_t escape_short_content(const std::uint8_t* data, std::size_t length, char* dest) {
  assert(length <= kEscapeBlock);
  const auto* in = reinterpret_cast<const char*>(data);
  std::size_t i = 0;
  std::size_t o = 0;
  // Each block starts at most kEscapeBlock bytes in, and after at most kEscapeMaxExpansion
  // output bytes for each byte before it.
  for (;;) {
    copy_block(dest + o, in + i);
    const std::size_t plain = std::min(plain_prefix(in + i), length - i);
    i += plain;
    o += plain;
    if (i == length || in[i] == '\0') return o;
    const Escaped escaped = escape_special(in, i, length, dest + o);
    i += escaped.taken;
    o += escaped.written;
  }
}

}  // namespace tbl2tblx
