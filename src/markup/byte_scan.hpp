// Searches over the bytes of a document, sixteen at a time where SSE2 is present. Each search
// has a scalar twin that is always compiled: it is the search on machines without SSE2, and the
// tests hold the two to the same result over every length and position.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tbl2tblx {

inline constexpr std::size_t kScanBlock = 16;

// The number of bits set in `mask`: line feeds are few, and x86-64 has no popcount
// instruction to count on.
inline int count_bits(unsigned mask) {
  int n = 0;
  for (; mask != 0; mask &= mask - 1)
    ++n;
  return n;
}

inline bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// ---- The next '<' ----------------------------------------------------------------------------

// The first '<' in [p, end), or `end`; the LFs before it are added to `lines`.
inline const char* find_angle_scalar(const char* p, const char* end, std::int64_t& lines) {
  for (; p < end; ++p) {
    if (*p == '<') return p;
    if (*p == '\n') ++lines;
  }
  return end;
}

#if defined(__SSE2__)
inline const char* find_angle_sse2(const char* p, const char* end, std::int64_t& lines) {
  const __m128i angle = _mm_set1_epi8('<');
  const __m128i line_feed = _mm_set1_epi8('\n');
  for (; end - p >= static_cast<std::ptrdiff_t>(kScanBlock); p += kScanBlock) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto angles = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, angle)));
    const auto feeds = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed)));
    if (angles != 0) {
      const int first = std::countr_zero(angles);
      lines += count_bits(feeds & ((1u << first) - 1));
      return p + first;
    }
    lines += count_bits(feeds);
  }
  return find_angle_scalar(p, end, lines);
}
#endif

inline const char* find_angle(const char* p, const char* end, std::int64_t& lines) {
#if defined(__SSE2__)
  return find_angle_sse2(p, end, lines);
#else
  return find_angle_scalar(p, end, lines);
#endif
}

// ---- A run of XML white space ----------------------------------------------------------------

// The first byte in [p, end) that is not XML white space, or `end`; the LFs before it are added
// to `lines`.
inline const char* skip_xml_spaces_scalar(const char* p, const char* end, std::int64_t& lines) {
  for (; p < end && is_xml_space(*p); ++p)
    lines += *p == '\n' ? 1 : 0;
  return p;
}

#if defined(__SSE2__)
// The line end and the indent between two tags, looked at sixteen bytes at a time.
[[gnu::always_inline]] inline const char* skip_xml_spaces_sse2(const char* p, const char* end,
                                                               std::int64_t& lines) {
  while (end - p >= static_cast<std::ptrdiff_t>(kScanBlock)) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i feeds = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
    __m128i space = _mm_or_si128(feeds, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')));
    space = _mm_or_si128(space, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')));
    space = _mm_or_si128(space, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
    const auto feed_bits = static_cast<unsigned>(_mm_movemask_epi8(feeds));
    const auto other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFu;
    if (other != 0) {
      const int n = std::countr_zero(other);
      lines += count_bits(feed_bits & ((1u << n) - 1));
      return p + n;
    }
    lines += count_bits(feed_bits);
    p += kScanBlock;
  }
  return skip_xml_spaces_scalar(p, end, lines);
}
#endif

// Runs about seventeen times a record between the tags a reader reads directly: inlined.
[[gnu::always_inline]] inline const char* skip_xml_spaces(const char* p, const char* end,
                                                          std::int64_t& lines) {
#if defined(__SSE2__)
  return skip_xml_spaces_sse2(p, end, lines);
#else
  return skip_xml_spaces_scalar(p, end, lines);
#endif
}

// ---- Bytes that escaping stops at -----------------------------------------------------------

// '&', '<' and '>' become entities, CR and LF line ends, and a zero byte ends a string value.
inline constexpr std::string_view kEscapeStops("&<>\r\n\0", 6);

// Of the first `n` bytes at `data`, those before the first escape stop.
inline std::size_t plain_prefix_scalar(const char* data, std::size_t n) {
  std::size_t i = 0;
  while (i < n && kEscapeStops.find(data[i]) == std::string_view::npos)
    ++i;
  return i;
}

// The same for the eight bytes at `data`, a word at a time. For x = word ^ (byte * 0x0101...),
// (x - 0x0101...) & ~x has the high bit set in the lowest byte of x that is zero, perhaps in
// bytes above it too (a borrow), never below it, and in none when no byte is zero.
inline std::size_t plain_prefix_word(const char* data) {
  constexpr std::uint64_t kByteOnes = 0x0101010101010101;
  constexpr std::uint64_t kByteHighBits = 0x8080808080808080;
  std::uint64_t word;
  std::memcpy(&word, data, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  // The lowest flagged byte of each search is exact, so the lowest of them all is too; the
  // word holds the first byte lowest.
  std::uint64_t found = 0;
  for (const char c : kEscapeStops) {
    const std::uint64_t x = word ^ (kByteOnes * static_cast<unsigned char>(c));
    found |= (x - kByteOnes) & ~x;
  }
  found &= kByteHighBits;
  if (found == 0) return sizeof word;
  return static_cast<std::size_t>(std::countr_zero(found)) / 8;
}

#if defined(__SSE2__)
// The same for the bytes of `bytes` that the low bits of `mask` stand for.
inline std::size_t plain_prefix_sse2(__m128i bytes, unsigned mask) {
  __m128i found = _mm_setzero_si128();
  for (const char c : kEscapeStops)
    found = _mm_or_si128(found, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)));
  const unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(found)) & mask;
  return static_cast<std::size_t>(std::countr_zero(stops | (mask + 1)));
}

inline constexpr std::size_t kEscapeBlock = kScanBlock;
#else
inline constexpr std::size_t kEscapeBlock = sizeof(std::uint64_t);
#endif

// Of the kEscapeBlock bytes at `data`, those before the first escape stop.
inline std::size_t plain_prefix(const char* data) {
#if defined(__SSE2__)
  return plain_prefix_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), 0xFFFF);
#else
  return plain_prefix_word(data);
#endif
}

// ---- A tag as the tool writes it -------------------------------------------------------------

// Whether the scanner stores `c` in a tag as it stands and it plays no part in the tag's form:
// not white space or any other byte up to the space, not '=', '<' or a quote, not a capital.
inline bool stored_as_written(char c) {
  return static_cast<unsigned char>(c) > ' ' && c != '=' && c != '<' && c != '"' && c != '\'' &&
         !(c >= 'A' && c <= 'Z');
}

// Whether the slashes of a plain tag of `length` bytes (bit i of `slashes`: byte i is '/') make
// it a start tag, an end tag "/x" or an empty element "x/".
inline bool plain_tag_slashes(unsigned slashes, std::size_t length) {
  const unsigned ends = 1u | 1u << (length - 1);
  return (slashes & ~ends) == 0 && (length > 1 || slashes == 0) && slashes != ends;
}

// When the kScanBlock bytes at `data` hold a '>' and every byte before it is stored as it stands,
// with a '/' only first or last, the number of those bytes (at least one); otherwise 0.
inline std::size_t plain_tag_length_scalar(const char* data) {
  unsigned slashes = 0;
  for (std::size_t i = 0; i < kScanBlock; ++i) {
    if (data[i] == '>') return i != 0 && plain_tag_slashes(slashes, i) ? i : 0;
    if (!stored_as_written(data[i])) return 0;
    if (data[i] == '/') slashes |= 1u << i;
  }
  return 0;
}

#if defined(__SSE2__)
inline std::size_t plain_tag_length_sse2(const char* data) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
  const auto closes =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('>'))));
  if (closes == 0) return 0;
  const int length = std::countr_zero(closes);
  if (length == 0) return 0;
  // A to Z moved to the bottom of the signed range: below -128 + 26 exactly for them.
  const __m128i shifted = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - 'A')));
  const __m128i upper = _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(0x80 + 26)));
  const __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8(' ')), _mm_set1_epi8(' '));
  __m128i form = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('='));
  form = _mm_or_si128(form, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')));
  form = _mm_or_si128(form, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')));
  form = _mm_or_si128(form, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\'')));
  const auto treated =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(upper, low), form)));
  const unsigned before = (1u << length) - 1;
  const auto slashes =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('/'))));
  const auto n = static_cast<std::size_t>(length);
  return (treated & before) != 0 || !plain_tag_slashes(slashes & before, n) ? 0 : n;
}
#endif

inline std::size_t plain_tag_length(const char* data) {
#if defined(__SSE2__)
  return plain_tag_length_sse2(data);
#else
  return plain_tag_length_scalar(data);
#endif
}

}  // namespace tbl2tblx
