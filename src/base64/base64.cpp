#include "base64/base64.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

namespace tbl2tblx {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPadChar = '=';
constexpr char kLineFeed = '\n';
constexpr std::uint64_t kGroupBytes = kBase64GroupBytes;
constexpr std::uint64_t kGroupChars = kBase64GroupChars;
constexpr unsigned kSixBits = 6;
constexpr unsigned kByteBits = 8;
constexpr std::size_t kWordBytes = sizeof(std::uint64_t);
constexpr unsigned kWordBits = std::numeric_limits<std::uint64_t>::digits;
constexpr unsigned kHalfWordBits = std::numeric_limits<std::uint32_t>::digits;
constexpr unsigned kTwelveBits = 12;
constexpr std::uint32_t kSixBitMask = 0x3F;
constexpr std::uint32_t kTwelveBitMask = 0xFFF;

// Decoder values: 0-63 for the alphabet, kPadValue for '=', kSkipped for every other byte.
constexpr std::uint8_t kPadValue = 64;
constexpr std::uint8_t kSkipped = 0xFF;
// Set in a fast-path group whenever one of its four bytes is not an alphabet character.
constexpr std::uint32_t kNotPlain = 0x80000000;

constexpr std::array<std::uint8_t, 256> make_values() {
  std::array<std::uint8_t, 256> values{};
  values.fill(kSkipped);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    values[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  values[static_cast<std::uint8_t>(kPadChar)] = kPadValue;
  return values;
}
constexpr std::array<std::uint8_t, 256> kValues = make_values();

// The alphabet value of a byte shifted to its place in a group's 24 bits, or kNotPlain.
constexpr std::array<std::uint32_t, 256> make_place_bits(unsigned shift) {
  std::array<std::uint32_t, 256> bits{};
  for (std::size_t c = 0; c < bits.size(); ++c) {
    bits[c] = kValues[c] < kPadValue ? std::uint32_t{kValues[c]} << shift : kNotPlain;
  }
  return bits;
}
constexpr std::array<std::uint32_t, 256> kPlace0 = make_place_bits(3 * kSixBits);
constexpr std::array<std::uint32_t, 256> kPlace1 = make_place_bits(2 * kSixBits);
constexpr std::array<std::uint32_t, 256> kPlace2 = make_place_bits(kSixBits);
constexpr std::array<std::uint32_t, 256> kPlace3 = make_place_bits(0);

// Twelve bits to their two characters.
using CharPair = std::array<char, 2>;
constexpr std::array<CharPair, 4096> make_pairs() {
  std::array<CharPair, 4096> pairs{};
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    pairs[i] = {kAlphabet[i >> kSixBits], kAlphabet[i & kSixBitMask]};
  }
  return pairs;
}
constexpr std::array<CharPair, 4096> kPairs = make_pairs();

// Big-endian loads and stores of whole words, whatever the machine's byte order.
template <typename Word>
Word reverse_bytes(Word value) {
#if defined(__GNUC__)
  if constexpr (sizeof(Word) == 8) {
    return __builtin_bswap64(value);
  } else {
    return __builtin_bswap32(value);
  }
#else
  Word reversed = 0;
  for (std::size_t i = 0; i < sizeof(Word); ++i, value >>= 8)
    reversed = reversed << 8 | (value & 0xFF);
  return reversed;
#endif
}

template <typename Word>
Word load_be(const std::uint8_t* source) {
  Word value;
  std::memcpy(&value, source, sizeof value);
  if constexpr (std::endian::native == std::endian::little) value = reverse_bytes(value);
  return value;
}

template <typename Word>
void store_be(void* dest, Word value) {
  if constexpr (std::endian::native == std::endian::little) value = reverse_bytes(value);
  std::memcpy(dest, &value, sizeof value);
}

// ---- Encoding ----------------------------------------------------------------------------------

void put_pair(char* out, std::uint64_t bits) {
  std::memcpy(out, kPairs[bits & kTwelveBitMask].data(), sizeof(CharPair));
}

// The encoder's step: two groups, read as one big-endian word whose top 48 bits they are.
constexpr std::size_t kStepBytes = 2 * kGroupBytes;
constexpr std::size_t kStepChars = 2 * kGroupChars;

void encode_step_bits(std::uint64_t bits, char* out) {
  for (unsigned pair = 0; pair < kStepChars / 2; ++pair) {
    put_pair(out + 2 * pair, bits >> (kWordBits - kTwelveBits * (pair + 1)));
  }
}

void encode_step(const std::uint8_t* data, char* out) {
  encode_step_bits(load_be<std::uint64_t>(data), out);
}

// Encodes `length` bytes, a multiple of 3, to 4/3 as many characters. A step reads a whole
// word, so it runs only while one is left to read.
char* encode_groups(const std::uint8_t* data, std::size_t length, char* out) {
  for (; length >= kStepBytes + kWordBytes;
       length -= 2 * kStepBytes, data += 2 * kStepBytes, out += 2 * kStepChars) {
    encode_step(data, out);
    encode_step(data + kStepBytes, out + kStepChars);
  }
  for (; length >= kWordBytes; length -= kStepBytes, data += kStepBytes, out += kStepChars) {
    encode_step(data, out);
  }
  for (; length >= kGroupBytes; length -= kGroupBytes, data += kGroupBytes, out += kGroupChars) {
    const std::uint32_t bits =
        std::uint32_t{data[0]} << 2 * kByteBits | std::uint32_t{data[1]} << kByteBits | data[2];
    put_pair(out, bits >> kTwelveBits);
    put_pair(out + 2, bits);
  }
  return out;
}

// Encodes the last one or two bytes of the data as a padded group.
char* encode_tail(const std::uint8_t* data, std::size_t length, char* out) {
  const std::uint32_t b0 = data[0];
  const std::uint32_t b1 = length > 1 ? data[1] : 0;
  *out++ = kAlphabet[b0 >> 2];
  *out++ = kAlphabet[(b0 & 0x3) << 4 | b1 >> 4];
  *out++ = length > 1 ? kAlphabet[(b1 & 0xF) << 2] : kPadChar;
  *out++ = kPadChar;
  return out;
}

char* encode_unbroken(const std::uint8_t* data, std::size_t length, char* out) {
  const std::size_t whole = length - length % kGroupBytes;
  out = encode_groups(data, whole, out);
  if (whole < length) out = encode_tail(data + whole, length - whole, out);
  return out;
}

// A width that holds whole groups: every full line is encoded straight from its bytes.
char* encode_whole_group_lines(std::span<const std::uint8_t> data, char* out, std::size_t width) {
  const std::size_t line_bytes = width / kGroupChars * kGroupBytes;
  const std::uint8_t* bytes = data.data();
  std::size_t left = data.size();
  for (; left > line_bytes; left -= line_bytes, bytes += line_bytes) {
    out = encode_groups(bytes, line_bytes, out);
    *out++ = kLineFeed;
  }
  return encode_unbroken(bytes, left, out);
}

// Any other width: encode unbroken, then move the lines apart from the back.
char* encode_other_lines(std::span<const std::uint8_t> data, char* out, std::size_t width) {
  const std::size_t chars =
      static_cast<std::size_t>(encode_unbroken(data.data(), data.size(), out) - out);
  const std::size_t breaks = (chars - 1) / width;
  for (std::size_t line = breaks; line > 0; --line) {
    const std::size_t from = line * width;
    std::memmove(out + from + line, out + from, std::min(width, chars - from));
    out[from + line - 1] = kLineFeed;
  }
  return out + chars + breaks;
}

// ---- Decoding ----------------------------------------------------------------------------------

std::uint32_t group_bits(const std::uint8_t* text) {
  return kPlace0[text[0]] | kPlace1[text[1]] | kPlace2[text[2]] | kPlace3[text[3]];
}

// Decodes groups of four alphabet characters from `in` on, and skips bytes outside the alphabet
// between them (line ends), for as long as they come; returns where the first group that is not
// plain starts. The stores run ahead of the last byte written but never past the bytes already
// read, so decoding in place is safe. Kept out of line: inlined into the byte-wise loop, the hot
// loop loses registers to it.
[[gnu::noinline]] const std::uint8_t* decode_plain_groups(const std::uint8_t* in,
                                                          const std::uint8_t* end,
                                                          std::uint8_t*& out) {
  constexpr unsigned kGroupBits = kGroupBytes * kByteBits;
  std::uint8_t* o = out;
  for (;;) {
    for (; static_cast<std::size_t>(end - in) >= 2 * kGroupChars;
         in += 2 * kGroupChars, o += 2 * kGroupBytes) {
      const std::uint64_t first = group_bits(in);
      const std::uint64_t second = group_bits(in + kGroupChars);
      if (((first | second) & kNotPlain) != 0) break;
      // The two groups' bytes at the top of one word; the last two bytes stored are scratch.
      store_be<std::uint64_t>(
          o, first << (kWordBits - kGroupBits) | second << (kWordBits - 2 * kGroupBits));
    }
    for (; static_cast<std::size_t>(end - in) >= kGroupChars; in += kGroupChars, o += kGroupBytes) {
      const std::uint32_t bits = group_bits(in);
      if ((bits & kNotPlain) != 0) break;
      store_be<std::uint32_t>(o, bits << (kHalfWordBits - kGroupBits));
    }
    if (in == end || kValues[*in] != kSkipped) break;
    ++in;
  }
  out = o;
  return in;
}

// Feeds one byte to the group. A byte is written as soon as the characters that make it are
// known, so each accepted character yields at most one byte.
void decode_byte(Base64Decoder& state, std::uint8_t c, std::uint8_t*& out) {
  const std::uint32_t value = kValues[c];
  if (value == kSkipped) return;
  switch (state.places) {
    case 1:  // '=' counts as 0 in the first two places
      *out++ = static_cast<std::uint8_t>((state.values[0] & kSixBitMask) << 2 |
                                         (value & kSixBitMask) >> 4);
      break;
    case 2:
      if (value == kPadValue) {
        state.ended = true;
        return;
      }
      *out++ = static_cast<std::uint8_t>((state.values[1] & 0xF) << 4 | value >> 2);
      break;
    case 3:
      if (value == kPadValue) {
        state.ended = true;
        return;
      }
      *out++ = static_cast<std::uint8_t>((state.values[2] & 0x3) << 6 | value);
      state.places = 0;
      return;
    default:
      break;
  }
  state.values[state.places++] = value;
}

}  // namespace

std::size_t base64_encode_into(std::span<const std::uint8_t> data, char* dest,
                               std::uint64_t width) {
  if (data.empty()) return 0;
  char* end = nullptr;
  if (width == kBase64Unbroken || width >= base64_encoded_size(data.size(), kBase64Unbroken)) {
    end = encode_unbroken(data.data(), data.size(), dest);
  } else if (width % kGroupChars == 0) {
    end = encode_whole_group_lines(data, dest, static_cast<std::size_t>(width));
  } else {
    end = encode_other_lines(data, dest, static_cast<std::size_t>(width));
  }
  return static_cast<std::size_t>(end - dest);
}

std::size_t base64_encode_short(const std::uint8_t* data, std::size_t length, char* dest) {
  static_assert(kBase64ShortMax % kStepBytes == 0);
  static_assert(kBase64ShortRead == kBase64ShortMax - kStepBytes + kWordBytes);
  static_assert(kBase64ShortRoom == kBase64ShortMax / kGroupBytes * kGroupChars + 2);
  // Every step runs, on the bytes of the data in it and zeros for the rest: no branch depends on
  // the length, which varies from one value to the next.
  for (std::size_t at = 0; at < kBase64ShortMax; at += kStepBytes) {
    const std::size_t in_data = std::min(length - std::min(length, at), kStepBytes);
    const std::uint64_t kept = ~(~std::uint64_t{0} >> (kByteBits * in_data));
    encode_step_bits(load_be<std::uint64_t>(data + at) & kept,
                     dest + at / kGroupBytes * kGroupChars);
  }
  // The characters that carry data bits, then "==": what is not padding is written over next.
  const std::size_t data_chars = (length * kByteBits + kSixBits - 1) / kSixBits;
  dest[data_chars] = kPadChar;
  dest[data_chars + 1] = kPadChar;
  return static_cast<std::size_t>(base64_encoded_size(length, kBase64Unbroken));
}

std::size_t base64_decode_step(Base64Decoder& state, std::span<const std::uint8_t> text,
                               std::uint8_t* dest) {
  if (state.ended || text.empty()) return 0;
  std::uint8_t* out = dest;
  std::size_t at = 0;
  while (at < text.size()) {
    if (state.places == 0) {
      at = static_cast<std::size_t>(
          decode_plain_groups(text.data() + at, text.data() + text.size(), out) - text.data());
      if (at == text.size()) break;
    }
    decode_byte(state, text[at++], out);
    if (state.ended) return static_cast<std::size_t>(out - dest);
  }
  state.last_was_accepted = kValues[text.back()] != kSkipped;
  return static_cast<std::size_t>(out - dest);
}

std::size_t base64_decode_finish(Base64Decoder& state, std::uint8_t* dest) {
  std::size_t written = 0;
  // A lone first character is completed with padding unless it was the text's very last byte.
  if (!state.ended && state.places == 1 && !state.last_was_accepted) {
    dest[0] = static_cast<std::uint8_t>((state.values[0] & kSixBitMask) << 2);
    written = 1;
  }
  state = Base64Decoder{};
  return written;
}

namespace {

constexpr std::string_view kFormSpace = " \t\r\n";
// The bits of the character before the padding that it leaves unused: four before "==", two
// before "=".
constexpr std::uint8_t kUnusedBeforeTwoPads = 0xF;
constexpr std::uint8_t kUnusedBeforeOnePad = 0x3;
constexpr std::uint64_t kFirstPadPlace = 2;  // "xx==" and "xxx=" only

void form_pad(Base64Form& form) {
  const std::uint64_t place = form.chars % kGroupChars;
  if (form.pads == 0) {
    const std::uint8_t unused =
        place == kFirstPadPlace ? kUnusedBeforeTwoPads : kUnusedBeforeOnePad;
    form.broken |= place < kFirstPadPlace || (form.last & unused) != 0;
  } else {
    form.broken |= form.pads > 1 || place != kGroupChars - 1;
  }
  ++form.pads;
  ++form.chars;
}

}  // namespace

void base64_form_step(Base64Form& form, std::span<const std::uint8_t> text) {
  const std::uint8_t* at = text.data();
  const std::uint8_t* const end = at + text.size();
  while (at != end) {
    // Nearly all of a blob is a run of alphabet characters: counted in a tight loop.
    const std::uint8_t* const run = at;
    while (at != end && kValues[*at] < kPadValue)
      ++at;
    if (at != run) {
      form.broken |= form.pads != 0;
      form.last = kValues[at[-1]];
      form.chars += static_cast<std::uint64_t>(at - run);
      if (at == end) break;
    }
    const std::uint8_t c = *at++;
    if (kValues[c] == kPadValue) {
      form_pad(form);
    } else {
      form.broken |= kFormSpace.find(static_cast<char>(c)) == std::string_view::npos;
    }
  }
}

bool base64_form_exact(const Base64Form& form) {
  return !form.broken && form.chars % kGroupChars == 0;
}

std::size_t base64_decode_into(std::span<const std::uint8_t> text, std::uint8_t* dest) {
  Base64Decoder state;
  const std::size_t written = base64_decode_step(state, text, dest);
  return written + base64_decode_finish(state, dest + written);
}

}  // namespace tbl2tblx
