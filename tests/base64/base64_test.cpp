#include "base64/base64.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support.hpp"

namespace {

using namespace tbl2tblx;
using namespace std::literals;
using testing_support::ScratchDir;

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Encodes into a destination of exactly the size the contract promises.
std::string encode(std::string_view data, std::uint64_t width) {
  std::vector<char> text(base64_encoded_size(data.size(), width));
  EXPECT_EQ(base64_encode_into(as_bytes(data), text.data(), width), text.size());
  return {text.begin(), text.end()};
}

// Decodes in place, as the file mode does with each piece.
std::string decode(std::string_view text) {
  return testing_support::base64_decoded(text);
}

// Decodes with a destination of exactly text.size() bytes, so that the sanitizer sees any store
// past the room the contract promises.
std::string decode_exact(std::string_view text) {
  std::vector<std::uint8_t> dest(text.size());
  const std::size_t count = base64_decode_into(as_bytes(text), dest.data());
  return std::string(dest.begin(), dest.begin() + static_cast<std::ptrdiff_t>(count));
}

std::string random_bytes(std::mt19937& rng, std::size_t size) {
  std::string data(size, '\0');
  for (char& c : data)
    c = static_cast<char>(rng() & 0xFF);
  return data;
}

// The reference encoder's output for `data`, without the final line feed it adds.
std::string reference_encode(const ScratchDir& dir, std::string_view data, std::uint64_t width) {
  testing_support::write_file(dir / "in", data);
  return testing_support::system_base64(dir / "in", static_cast<int>(width));
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"f", "Zg=="},        {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [data, text] : cases) {
    EXPECT_EQ(encode(data, kBase64Unbroken), text) << data;
    EXPECT_EQ(encode(data, kBase64LineWidth), text) << data;
    EXPECT_EQ(decode(text), data) << text;
  }
}

TEST(Base64, LineWidths) {
  struct Case {
    std::string data;
    std::uint64_t width;
    std::string text;
  };
  const Case cases[] = {
      {"abc", 2, "YW\nJj"},        {"abc", 4, "YWJj"},
      {"abc", 76, "YWJj"},         {"abcd", 1, "Y\nW\nJ\nj\nZ\nA\n=\n="},
      {"abcd", 3, "YWJ\njZA\n=="}, {"abcdefg", 8, "YWJjZGVm\nZw=="},
  };
  for (const Case& c : cases)
    EXPECT_EQ(encode(c.data, c.width), c.text) << c.width;

  const std::string x76 = encode(std::string(57, 'x'), 76);
  EXPECT_EQ(x76.size(), 76u);
  EXPECT_EQ(x76.find('\n'), std::string::npos);
  EXPECT_EQ(encode(std::string(58, 'x'), 76), x76 + "\n" + "eA==");
  EXPECT_EQ(encode(std::string(114, 'x'), 76), x76 + "\n" + x76);
}

TEST(Base64, EncodedSizeUsesSixtyFourBits) {
  EXPECT_EQ(base64_encoded_size(0, 76), 0u);
  EXPECT_EQ(base64_encoded_size(3'000'000'000, 0), 4'000'000'000u);
  EXPECT_EQ(base64_encoded_size(3'000'000'000, 76), 4'000'000'000u + 3'999'999'999u / 76);
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(base64_encoded_size(max, 0), max);
  EXPECT_EQ(base64_encoded_size(max / 4 * 3 - 2, 1), max);
}

// The short encoder reads a fixed span and writes a fixed room, both allocated to their exact
// size here so that AddressSanitizer catches a step outside them; the bytes after the data are
// anything at all and must not show.
TEST(Base64, ShortValuesEncodeAsTheStreamDoes) {
  std::mt19937 rng(20261210);
  for (std::size_t length = 0; length <= kBase64ShortMax; ++length) {
    for (int round = 0; round < 20; ++round) {
      const std::string data = random_bytes(rng, kBase64ShortRead);
      const auto read = std::make_unique<std::uint8_t[]>(kBase64ShortRead);
      std::memcpy(read.get(), data.data(), kBase64ShortRead);
      const auto room = std::make_unique<char[]>(kBase64ShortRoom);
      const std::size_t written = base64_encode_short(read.get(), length, room.get());
      const std::string_view value = std::string_view(data).substr(0, length);
      ASSERT_EQ(std::string(room.get(), written), length == 0 ? "" : encode(value, kBase64Unbroken))
          << length;
    }
  }
}

TEST(Base64, LenientDecoding) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"YWJj", "abc"},
      {"YWI=", "ab"},
      {"YQ==", "a"},
      {"YW\nJj", "abc"},
      {"YW Jj", "abc"},
      {"YW\r\nJj", "abc"},
      {"YWJj\n", "abc"},
      {"YWJ", "ab"},
      {"YQ", "a"},
      {"YWJjZ", "abc"},     // a lone character that ends the text yields nothing
      {"YWJjZ\n", "abcd"},  // ... but opens a padded group when anything follows it
      {"Y", ""},
      {" \r\n\t ", ""},
      {"YQ==YWJj", "a"},  // everything after the first padded group is ignored
      {"YW=j", "a"},
      {"YWI=YWJj", "ab"},
      {"====", "\0"sv},  // '=' counts 0 in the first two places
      {"Y=Jj", "`\x02\x63"},
      {"=Q==", "\x01"},
      {"Y\x80W\xffJ\0j\x7f"sv, "abc"},
      {"!Y-W.J_j~", "abc"},
      {"YWJjZGVmZ2hp\nYWJj", "abcdefghiabc"},
  };
  for (const auto& [text, data] : cases) {
    EXPECT_EQ(decode(text), data) << text;
    EXPECT_EQ(decode_exact(text), data) << text;
  }
}

TEST(Base64, MatchesReferenceEncoderAndRoundTrips) {
  ScratchDir dir;
  std::mt19937 rng(20240611);
  std::vector<std::size_t> sizes;
  for (std::size_t size = 1; size <= 130; ++size)
    sizes.push_back(size);
  for (std::size_t size : {1000u, 4097u, 65537u, (1u << 20) + 5})
    sizes.push_back(size);
  for (std::size_t size : sizes) {
    const std::string data = random_bytes(rng, size);
    for (std::uint64_t width : {kBase64Unbroken, kBase64LineWidth, std::uint64_t{7}}) {
      const std::string text = encode(data, width);
      ASSERT_EQ(text, reference_encode(dir, data, width)) << size << " at width " << width;
      ASSERT_EQ(decode_exact(text), data) << size << " at width " << width;
    }
  }
}

// Texts whose pieces end anywhere: mid-group, on junk, on '=', on a lone last character.
const std::string_view kStreamTexts[] = {
    "YWJjZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXo=",
    "YWJj\nZGVm\r\nZ2hp  amts\tbW5v\nYWJjZ",
    "YWJjZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXoK\nZ\n",
    "YW=jYWJjZGVmZ2hp",
    "Y=JjZGVm==ZG\x80VmZ2hp",
    "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0NTY3\n"
    "ODkrLw==\n",
};

// Decodes `text` cut at `cuts` (ascending positions), each piece into a buffer of its own size.
std::string decode_in_pieces(std::string_view text, std::initializer_list<std::size_t> cuts,
                             bool in_place) {
  Base64Decoder state;
  std::string result;
  std::size_t from = 0;
  std::vector<std::size_t> ends(cuts);
  ends.push_back(text.size());
  for (std::size_t end : ends) {
    std::vector<std::uint8_t> piece(text.begin() + static_cast<std::ptrdiff_t>(from),
                                    text.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<std::uint8_t> separate(piece.size());
    std::uint8_t* dest = in_place ? piece.data() : separate.data();
    const std::size_t count = base64_decode_step(state, piece, dest);
    result.append(dest, dest + count);
    from = end;
  }
  std::uint8_t last[2];
  result.append(last, last + base64_decode_finish(state, last));
  return result;
}

TEST(Base64, StreamingDecoderIgnoresWherePiecesEnd) {
  for (std::string_view text : kStreamTexts) {
    const std::string whole = decode(text);
    for (bool in_place : {false, true}) {
      for (std::size_t i = 0; i <= text.size(); ++i) {
        ASSERT_EQ(decode_in_pieces(text, {i}, in_place), whole) << text << " cut at " << i;
        for (std::size_t j = i; j <= text.size(); ++j) {
          ASSERT_EQ(decode_in_pieces(text, {i, j}, in_place), whole)
              << text << " cut at " << i << " and " << j;
        }
      }
    }
  }
}

TEST(Base64, DecodesInPlace) {
  std::mt19937 rng(7);
  std::vector<std::string> texts(std::begin(kStreamTexts), std::end(kStreamTexts));
  for (std::size_t size : {1u, 2u, 3u, 100u, 5000u}) {
    texts.push_back(encode(random_bytes(rng, size), kBase64LineWidth));
    texts.push_back(encode(random_bytes(rng, size), 3));
  }
  for (const std::string& text : texts) {
    std::vector<std::uint8_t> buffer(text.begin(), text.end());
    const std::size_t count = base64_decode_into(buffer, buffer.data());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count)),
              decode(text));
  }
}

// The exact form, whole and fed in two or three pieces cut anywhere: the same verdict.
bool exact_form(std::string_view text, std::initializer_list<std::size_t> cuts) {
  Base64Form form;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    base64_form_step(form, as_bytes(text.substr(from, cut - from)));
    from = cut;
  }
  base64_form_step(form, as_bytes(text.substr(from)));
  return base64_form_exact(form);
}

TEST(Base64, ExactFormWhereverTheTextIsCut) {
  const struct {
    std::string_view text;
    bool exact;
  } cases[] = {
      {"", true},
      {"AAECAwQFBgcICQoL", true},
      {"AAEC AwQF\r\nBgcI\tCQoL", true},
      {"QQ==", true},
      {"QUI=", true},
      {" QUI= \r\n", true},
      {"AAECAwQFBgcICQo", false},      // a character short
      {"AAECAwQFBgcICQoLA", false},    // one over
      {"AAECA=wQFBgcICQoL", false},    // '=' inside
      {"AAECAwQFBgcICQoL===", false},  // three pads
      {"QQ=", false},
      {"Q===", false},
      {"QR==", false},  // unused bits set
      {"QUJ=", false},
      {"QQ==QQ==", false},
      {"QUI=AAAA", false},  // data after the padding
      {"QQ==AAAA", false},
      {"A", false},
      {"QU!=", false},
      {"QUI=\x80", false},
  };
  for (const auto& c : cases) {
    for (std::size_t i = 0; i <= c.text.size(); ++i) {
      for (std::size_t j = i; j <= c.text.size(); ++j) {
        EXPECT_EQ(exact_form(c.text, {i, j}), c.exact) << c.text << " cut at " << i << ", " << j;
      }
    }
  }
}

}  // namespace
