// Searches over the bytes of a document, sixteen at a time where SSE2 is present. Each search
// has a scalar twin that is always compiled: it is the search on machines without SSE2, and the
// tests hold the two to the same result over every length and position.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

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
inline const char* find_angle_scalar(const char* p, const char* end, std::int32_t& lines) {
  for (; p < end; ++p) {
    if (*p == '<') return p;
    if (*p == '\n') ++lines;
  }
  return end;
}

#if defined(__SSE2__)
inline const char* find_angle_sse2(const char* p, const char* end, std::int32_t& lines) {
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

inline const char* find_angle(const char* p, const char* end, std::int32_t& lines) {
#if defined(__SSE2__)
  return find_angle_sse2(p, end, lines);
#else
  return find_angle_scalar(p, end, lines);
#endif
}

// ---- A run of XML white space ----------------------------------------------------------------

// The first byte in [p, end) that is not XML white space, or `end`; the LFs before it are added
// to `lines`.
inline const char* skip_xml_spaces_scalar(const char* p, const char* end, std::int32_t& lines) {
  for (; p < end && is_xml_space(*p); ++p)
    lines += *p == '\n' ? 1 : 0;
  return p;
}

#if defined(__SSE2__)
// The line end and the indent between two tags, looked at sixteen bytes at a time.
[[gnu::always_inline]] inline const char* skip_xml_spaces_sse2(const char* p, const char* end,
                                                               std::int32_t& lines) {
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
                                                          std::int32_t& lines) {
#if defined(__SSE2__)
  return skip_xml_spaces_sse2(p, end, lines);
#else
  return skip_xml_spaces_scalar(p, end, lines);
#endif
}

}  // namespace tbl2tblx
