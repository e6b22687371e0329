// Decimal digits both ways against the standard library: every int2 value and a broad sample
// of int4 values are written as std::to_chars writes them and read back as std::from_chars
// reads them, through the block path and the one-by-one path alike.
#include "convert/digits.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tbl2tblx {
namespace {

template <class Int>
std::string library_text(Int value) {
  char text[16];
  return {text, std::to_chars(text, text + sizeof text, value).ptr};
}

template <class Int>
std::string written(Int value) {
  char room[kValueRoom];
  return {room, put_value(room, value)};
}

// Reads `text` as the direct reads do: followed by a block of other bytes (the word path), or
// at the very end of its allocation (the byte path, and any read past the end is caught).
struct Read {
  bool ok;
  std::int64_t value;
  std::size_t taken;
  bool operator==(const Read&) const = default;
};

Read read(const std::string& text, std::size_t max_digits, bool in_block) {
  const std::string source = in_block ? text + std::string(kDigitBlock, '<') : text;
  const auto exact = std::make_unique<char[]>(source.size());
  std::memcpy(exact.get(), source.data(), source.size());
  const char* at = exact.get();
  std::int64_t value = 0;
  const bool ok = read_plain_number(at, exact.get() + source.size(), max_digits, true, value);
  return {ok, value, static_cast<std::size_t>(at - exact.get())};
}

Read library_read(const std::string& text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return {error == std::errc{}, value, static_cast<std::size_t>(end - text.data())};
}

template <class Int>
void expect_both_ways(Int value) {
  const std::string text = library_text(value);
  ASSERT_EQ(written(value), text);
  constexpr std::size_t kMaxDigits = std::numeric_limits<Int>::digits10 + 1;
  EXPECT_EQ(read(text, kMaxDigits, true), library_read(text)) << text;
  EXPECT_EQ(read(text, kMaxDigits, false), library_read(text)) << text;
}

TEST(Digits, EveryInt2BothWays) {
  for (int value = std::numeric_limits<std::int16_t>::min();
       value <= std::numeric_limits<std::int16_t>::max(); ++value) {
    expect_both_ways(static_cast<std::int16_t>(value));
  }
}

TEST(Digits, Int4ValuesBothWays) {
  std::vector<std::int64_t> values = {std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max()};
  for (std::int64_t power = 1; power <= 1'000'000'000; power *= 10) {
    for (const std::int64_t near : {power - 1, power, power + 1}) {
      values.push_back(near);
      values.push_back(-near);
    }
  }
  std::mt19937 random(20261210);
  for (int i = 0; i < 200'000; ++i) {
    // Lengths as often short as long: a random bit length, then random bits.
    const auto bits = random() % 32;
    values.push_back(static_cast<std::int32_t>(random() >> (31 - bits)) * (i % 2 == 0 ? 1 : -1));
  }
  for (const std::int64_t value : values)
    expect_both_ways(static_cast<std::int32_t>(value));
}

TEST(Digits, EveryByteValueIsWrittenPlain) {
  for (int value = 0; value < 256; ++value) {
    char room[kByteTextWidth];
    char* end = put_byte_value(room, static_cast<std::uint8_t>(value));
    EXPECT_EQ(std::string(room, static_cast<std::size_t>(end - room)), std::to_string(value));
  }
}

// Leading zeros, digits past the most allowed, and no digits at all.
TEST(Digits, ReadingStopsAtTheMostDigitsAndAtOtherBytes) {
  const struct {
    std::string text;
    std::size_t max_digits;
    Read expected;
  } cases[] = {
      {"000000000000012", 16, {true, 12, 15}},
      {"123456", 5, {true, 12345, 5}},
      {"-", 10, {false, 0, 1}},
      {"x1", 10, {false, 0, 0}},
      {"--1", 10, {false, 0, 1}},
      {"12a", 10, {true, 12, 2}},
  };
  for (const auto& c : cases) {
    for (const bool in_block : {true, false})
      EXPECT_EQ(read(c.text, c.max_digits, in_block), c.expected) << c.text << " " << in_block;
  }
}

#if defined(__SSE2__)
TEST(Digits, LeadingDigitsMatchesItsTwin) {
  for (int c = 0; c < 256; ++c) {
    for (std::size_t at = 0; at < kDigitBlock; ++at) {
      std::string block(kDigitBlock, '7');
      block[at] = static_cast<char>(c);
      EXPECT_EQ(leading_digits_sse2(block.data()), leading_digits_scalar(block.data()))
          << c << " at " << at;
    }
  }
}
#endif

}  // namespace
}  // namespace tbl2tblx
