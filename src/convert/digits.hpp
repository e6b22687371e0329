// Decimal digits, written and read: the writer makes the digits of int values in a register and
// the reader reads the digits of plain numbers sixteen at a time (SSE2, with a scalar twin that
// the tests hold it to). Signs and lengths of stored values are as good as random, so neither
// direction takes a branch on them where a word does the work. Inline: both run for every value.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tbl2tblx {

// 1, 10, 100, ...: the first N powers of ten.
template <class Int, std::size_t N>
consteval std::array<Int, N> powers_of_ten() {
  std::array<Int, N> powers{};
  Int power = 1;
  for (Int& p : powers) {
    p = power;
    power *= 10;
  }
  return powers;
}

inline constexpr std::size_t kMaxValueDigits = 10;  // of a 32-bit magnitude
inline constexpr std::size_t kWordDigits = 8;       // made or read in one 64-bit word
inline constexpr auto kPowersOfTen = powers_of_ten<std::uint64_t, 2 * kWordDigits + 1>();

// ---- Writing ---------------------------------------------------------------------------------

// The decimal text of an int2 or int4 value is stored as whole words, so the output needs
// kValueRoom bytes of room, not just the number's.
inline constexpr std::size_t kHighDigits = kMaxValueDigits - kWordDigits;
inline constexpr std::size_t kValueRoom = 1 + kMaxValueDigits;  // the sign, then the stores

inline std::size_t decimal_digits(std::uint32_t value) {
  // floor(log10(2^bits)) from the bit length, corrected by one comparison; 0 has one digit.
  constexpr int kLog10Of2Times4096 = 1233;
  const std::uint32_t odd = value | 1;
  const auto guess = static_cast<std::size_t>(
      (std::numeric_limits<std::uint32_t>::digits - std::countl_zero(odd)) * kLog10Of2Times4096 >>
      12);
  return guess + (odd >= kPowersOfTen[guess] ? 1 : 0);
}

// Digit texts are held in words, their first character in the lowest byte. The lanes of a word
// are divided all at once, by multiplying with a scaled reciprocal that is exact over a lane's
// range: 32-bit lanes below 10^4 by 100 (x * 10486 >> 20), then 16-bit lanes below 100 by 10
// (x * 103 >> 10), leaving one digit a byte.
inline constexpr std::uint64_t kZeroChars = 0x3030'3030'3030'3030;

// The eight digits of value < 10^8, leading zeros included.
inline std::uint64_t eight_digits(std::uint32_t value) {
  constexpr std::uint32_t kTenThousand = 10'000;
  constexpr std::uint64_t kHundredsMask = 0x0000'007F'0000'007F;
  constexpr std::uint64_t kTensMask = 0x000F'000F'000F'000F;
  std::uint64_t x = value / kTenThousand | std::uint64_t{value % kTenThousand} << 32;
  const std::uint64_t hundreds = (x * 10486 >> 20) & kHundredsMask;
  x = hundreds | (x - hundreds * 100) << 16;
  const std::uint64_t tens = (x * 103 >> 10) & kTensMask;
  x = tens | (x - tens * 10) << 8;
  return x | kZeroChars;
}

// The two digits of value < 100.
inline std::uint64_t two_digits(std::uint32_t value) {
  const std::uint64_t tens = value * 103 >> 10;
  return (tens | (value - tens * 10) << 8) | kZeroChars;
}

template <std::size_t Width>
void put_word(char* at, std::uint64_t text) {
  for (std::size_t i = 0; i < Width; ++i)
    at[i] = static_cast<char>(text >> (8 * i));
}

// The digits are shifted into place in registers and stored, never read back from memory: a
// wide load over narrow stores just made would wait for them to reach the cache.
inline char* put_low_magnitude(char* at, std::uint32_t value) {
  assert(value < kPowersOfTen[kWordDigits]);
  const std::size_t digits = decimal_digits(value);
  put_word<kWordDigits>(at, eight_digits(value) >> (8 * (kWordDigits - digits)));
  return at + digits;
}

inline char* put_magnitude(char* at, std::uint32_t value) {
  constexpr auto kHundredMillion = static_cast<std::uint32_t>(kPowersOfTen[kWordDigits]);
  const std::size_t digits = decimal_digits(value);
  const std::size_t high_digits = digits > kWordDigits ? digits - kWordDigits : 0;
  const std::size_t low_digits = digits - high_digits;
  put_word<kHighDigits>(at, two_digits(value / kHundredMillion) >> (8 * (2 - high_digits)));
  put_word<kWordDigits>(at + high_digits,
                        eight_digits(value % kHundredMillion) >> (8 * (kWordDigits - low_digits)));
  return at + digits;
}

// The decimal text of an int2 or int4 value at `at`, which has kValueRoom bytes of room; returns
// its end.
template <class Int>
char* put_value(char* at, Int value) {
  static_assert(std::is_signed_v<Int> && sizeof(Int) <= sizeof(std::uint32_t));
  // Signs of stored values are as good as random: a branch on them would be mispredicted half
  // the time, so the sign is always stored and kept by moving on past it.
  const auto bits = static_cast<std::uint32_t>(std::int32_t{value});
  const std::uint32_t negative = bits >> (std::numeric_limits<std::uint32_t>::digits - 1);
  *at = '-';
  at += negative;
  const std::uint32_t magnitude = (bits ^ (0 - negative)) + negative;
  // An int2 has at most five digits.
  if constexpr (sizeof(Int) < sizeof(std::int32_t)) return put_low_magnitude(at, magnitude);
  return put_magnitude(at, magnitude);
}

// The decimal text of every byte value, padded to one width so that it is copied with a
// fixed-size move: ids and small counts are the most frequent numbers of a document. The output
// needs kByteTextWidth bytes of room.
inline constexpr std::size_t kByteTextWidth = 4;
struct ByteText {
  std::array<char, kByteTextWidth> text{};
  std::size_t size = 0;
};

consteval std::array<ByteText, 256> make_byte_texts() {
  std::array<ByteText, 256> texts{};
  for (std::size_t value = 0; value < texts.size(); ++value) {
    ByteText& t = texts[value];
    if (value >= 100) t.text[t.size++] = static_cast<char>('0' + value / 100);
    if (value >= 10) t.text[t.size++] = static_cast<char>('0' + value / 10 % 10);
    t.text[t.size++] = static_cast<char>('0' + value % 10);
  }
  return texts;
}
inline constexpr auto kByteTexts = make_byte_texts();

inline char* put_byte_value(char* at, std::uint8_t value) {
  std::memcpy(at, kByteTexts[value].text.data(), kByteTextWidth);
  return at + kByteTexts[value].size;
}

// ---- Reading ---------------------------------------------------------------------------------

inline constexpr std::size_t kDigitBlock = 16;

// The decimal digits at the start of the kDigitBlock bytes at `text`.
inline std::size_t leading_digits_scalar(const char* text) {
  std::size_t n = 0;
  while (n < kDigitBlock && text[n] >= '0' && text[n] <= '9')
    ++n;
  return n;
}

#if defined(__SSE2__)
inline std::size_t leading_digits_sse2(const char* text) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values);
  const auto others = ~static_cast<unsigned>(_mm_movemask_epi8(digit));
  return static_cast<std::size_t>(std::countr_zero(others | 1u << kDigitBlock));
}
#endif

inline std::size_t leading_digits(const char* text) {
#if defined(__SSE2__)
  return leading_digits_sse2(text);
#else
  return leading_digits_scalar(text);
#endif
}

// The value of the first `count` (at most 8) digit characters of the eight at `text`: the word
// is shifted so that they fill its top, the bytes before them counting as leading zeros, and
// the digits are then combined in pairs, fours and eights by multiplication.
inline std::uint64_t word_value(const char* text, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < sizeof word; ++i)
    word |= std::uint64_t{static_cast<std::uint8_t>(text[i])} << (8 * i);
  word -= kZeroChars;  // a borrow goes only into bytes shifted out below
  const unsigned half_shift = 4 * static_cast<unsigned>(sizeof word - count);
  word = word << half_shift << half_shift;
  word = word * 10 + (word >> 8);
  constexpr std::uint64_t kPairs = 0x0000'00FF'0000'00FF;
  constexpr std::uint64_t kHundredAndMillion = 100 + (std::uint64_t{1'000'000} << 32);
  constexpr std::uint64_t kOneAndTenThousand = 1 + (std::uint64_t{10'000} << 32);
  return ((word & kPairs) * kHundredAndMillion + (word >> 16 & kPairs) * kOneAndTenThousand) >> 32;
}

// The value of the first `count` (at most 16) digit characters of the kDigitBlock at `text`.
inline std::uint64_t digits_value(const char* text, std::size_t count) {
  static_assert(kDigitBlock >= 2 * kWordDigits);
  const std::size_t high = count > kWordDigits ? count - kWordDigits : 0;
  const std::size_t low = count - high;
  return word_value(text, high) * kPowersOfTen[low] + word_value(text + high, low);
}

// One to `max_digits` (at most 16) decimal digits at `at`, before `end`, with a '-' first where
// `signed_value` allows it: their value into `value`, `at` past them. The digits of stored
// values are read without a branch on their sign or length where a block follows them; ids and
// counts, whose lengths hardly vary, one by one. false when no digit stands there.
inline bool read_plain_number(const char*& at, const char* end, std::size_t max_digits,
                              bool signed_value, std::int64_t& value) {
  assert(max_digits <= 2 * kWordDigits);
  const bool negative = signed_value && at < end && *at == '-';
  at += negative ? 1 : 0;
  constexpr std::size_t kFewDigits = 3;
  std::size_t digits = 0;
  std::int64_t magnitude = 0;
  if (max_digits > kFewDigits && static_cast<std::size_t>(end - at) >= kDigitBlock) {
    digits = std::min(leading_digits(at), max_digits);
    magnitude = static_cast<std::int64_t>(digits_value(at, digits));
    at += digits;
  } else {
    for (; at < end && *at >= '0' && *at <= '9' && digits < max_digits; ++at, ++digits)
      magnitude = magnitude * 10 + (*at - '0');
  }
  value = negative ? -magnitude : magnitude;
  return digits > 0;
}

}  // namespace tbl2tblx
