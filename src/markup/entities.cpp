// Entities and line ends between the two forms of names and string values: the binary form ends
// a line with CR, the document with LF (CR LF once written); '&', '<' and '>' become entities.
// Reading also takes what any XML reader takes for a byte: &quot;, &apos; and numeric
// character references.
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

// The value of `c` as a digit in `base` (10 or 16), or -1.
int digit_value(char c, std::uint32_t base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base != 16) return -1;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Reference {
  std::size_t length = 0;  // 0: the text does not start with a numeric character reference
  std::uint32_t value = 0;
};

// The numeric character reference ("&#" digits ";" or "&#x" hex digits ";") at the start of
// `text`, its value capped at kReferenceValueCap; digits up to the lookahead's end make a
// reference too long to hold a value.
Reference numeric_reference(std::string_view text) {
  if (!text.starts_with(kReferenceStart)) return {};
  const bool cut = text.size() > kReferenceLookahead;
  text = text.substr(0, kReferenceLookahead);
  std::size_t i = kReferenceStart.size();
  std::uint32_t base = 10;
  if (i < text.size() && text[i] == kReferenceHexMark) {
    base = 16;
    ++i;
  }
  const std::size_t digits = i;
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = digit_value(text[i], base);
    if (digit < 0) break;
    value = std::min(value * base + static_cast<std::uint32_t>(digit), kReferenceValueCap);
  }
  if (i == text.size() && cut) return {i, kReferenceValueCap};
  if (i == digits || i == text.size() || text[i] != kReferenceEnd) return {};
  return {i + 1, value};
}

}  // namespace

Ampersand decode_ampersand(std::string_view text) {
  for (const auto& [c, entity] : kPredefinedEntities) {
    if (text.starts_with(entity)) return {c, entity.size()};
  }
  const Reference reference = numeric_reference(text);
  if (reference.length == 0) return {'&', 1};
  if (reference.value == 0 || reference.value > kMaxReferenceValue) {
    return {'\0', reference.length, false};
  }
  return {static_cast<char>(reference.value), reference.length};
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
