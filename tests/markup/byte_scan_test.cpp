// The block searches against their scalar twins: every length of a run and every position of
// what ends it, with every byte value there, give the same result both ways. In a build without
// SSE2 the twins are the searches themselves.
#include "markup/byte_scan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace tbl2tblx {
namespace {

// `text` at the very end of an allocation of its exact size: a read past it is caught.
struct Exact {
  std::unique_ptr<char[]> bytes;
  std::size_t size;
  explicit Exact(std::string_view text)
      : bytes(std::make_unique<char[]>(text.size())), size(text.size()) {
    std::memcpy(bytes.get(), text.data(), text.size());
  }
  const char* begin() const { return bytes.get(); }
  const char* end() const { return bytes.get() + size; }
};

struct Found {
  std::ptrdiff_t at;
  std::int64_t lines;
  bool operator==(const Found&) const = default;
};

template <class Search>
Found found(Search search, std::string_view text) {
  const Exact exact(text);
  std::int64_t lines = 0;
  const char* at = search(exact.begin(), exact.end(), lines);
  return {at - exact.begin(), lines};
}

// Runs of `filler` with line feeds in them, of every length up to past two blocks, ended by
// `last` at every position (or not at all).
template <class Check>
void for_each_run(char filler, char last, Check check) {
  for (std::size_t length = 0; length <= 2 * kScanBlock + 3; ++length) {
    for (std::size_t at = 0; at <= length; ++at) {
      std::string text(length, filler);
      for (std::size_t i = 1; i < length; i += 3)
        text[i] = '\n';
      if (at < length) text[at] = last;
      check(text);
    }
  }
}

#if defined(__SSE2__)
TEST(ByteScan, FindAngleMatchesItsTwin) {
  for (const char filler : {'a', ' ', '>'}) {
    for_each_run(filler, '<', [](const std::string& text) {
      EXPECT_EQ(found(find_angle_sse2, text), found(find_angle_scalar, text)) << text;
    });
  }
}

TEST(ByteScan, SkipXmlSpacesMatchesItsTwin) {
  for (const char filler : {' ', '\t', '\r'}) {
    for (int last = 0; last < 256; last += 17) {
      for_each_run(filler, static_cast<char>(last), [](const std::string& text) {
        EXPECT_EQ(found(skip_xml_spaces_sse2, text), found(skip_xml_spaces_scalar, text)) << text;
      });
    }
  }
}
#endif

// A plain block with the byte `c` at `at`.
std::string block_with(std::size_t size, char filler, std::size_t at, char c) {
  std::string block(size, filler);
  block[at] = c;
  return block;
}

TEST(ByteScan, PlainPrefixMatchesItsTwins) {
  for (int c = 0; c < 256; ++c) {
    for (std::size_t at = 0; at < kScanBlock; ++at) {
      const std::string block = block_with(kScanBlock, 'p', at, static_cast<char>(c));
      const Exact exact(block);
      EXPECT_EQ(plain_prefix_word(exact.begin()), plain_prefix_scalar(exact.begin(), 8))
          << c << " at " << at;
#if defined(__SSE2__)
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(exact.begin()));
      EXPECT_EQ(plain_prefix_sse2(bytes, 0xFFFF), plain_prefix_scalar(exact.begin(), kScanBlock))
          << c << " at " << at;
      EXPECT_EQ(plain_prefix_sse2(bytes, 0xFF), plain_prefix_scalar(exact.begin(), 8))
          << c << " at " << at;
#endif
    }
  }
}

#if defined(__SSE2__)
TEST(ByteScan, PlainTagLengthMatchesItsTwin) {
  for (std::size_t close = 0; close <= kScanBlock; ++close) {
    for (int c = 0; c < 256; ++c) {
      for (std::size_t at = 0; at < kScanBlock; ++at) {
        std::string block = block_with(kScanBlock, 'r', at, static_cast<char>(c));
        if (close < kScanBlock) block[close] = '>';
        const Exact exact(block);
        EXPECT_EQ(plain_tag_length_sse2(exact.begin()), plain_tag_length_scalar(exact.begin()))
            << c << " at " << at << ", '>' at " << close;
      }
    }
  }
}

// A '/' is plain first ("/x", an end tag) or last ("x/", an empty element), never both.
TEST(ByteScan, PlainTagSlashesMatchTheTwin) {
  for (std::size_t close = 0; close < kScanBlock; ++close) {
    for (std::size_t first = 0; first < kScanBlock; ++first) {
      for (std::size_t second = first; second < kScanBlock; ++second) {
        std::string block(kScanBlock, 'r');
        block[first] = block[second] = '/';
        block[close] = '>';
        const Exact exact(block);
        const std::size_t length = plain_tag_length_scalar(exact.begin());
        EXPECT_EQ(plain_tag_length_sse2(exact.begin()), length) << block;
        if (second >= close) continue;
        const bool one_at_an_end = first == second && (first == 0 || first == close - 1);
        EXPECT_EQ(length, close > 1 && one_at_an_end ? close : 0) << block;
      }
    }
  }
}
#endif

}  // namespace
}  // namespace tbl2tblx
