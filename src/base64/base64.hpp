// Base64 of RFC 4648 (basic alphabet, '=' padding): an encoder with an optional line width and
// a lenient decoder that skips every byte outside the alphabet, completes a group cut short by
// the end of the text with padding and stops at the first padded group. Pure buffer functions:
// no files, no messages, no state between calls (the streaming decoder keeps its state in the
// caller's Base64Decoder). Results are 0 for success and 1 for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace tbl2tblx {

inline constexpr std::uint64_t kBase64LineWidth = 76;     // "-e"
inline constexpr std::uint64_t kBase64BytesPerLine = 57;  // 76 characters
inline constexpr std::uint64_t kBase64Unbroken = 0;       // "-c" and blob contents

// Every three bytes encode to four characters.
inline constexpr std::uint64_t kBase64GroupBytes = 3;
inline constexpr std::uint64_t kBase64GroupChars = 4;

// Characters plus line feeds that `length` bytes encode to at `width` (0: one unbroken line).
// Saturates at the largest value when the size does not fit in 64 bits; no buffer that large
// can be allocated, so the encoder refuses it. Inline: the writer asks it for every blob value.
constexpr std::uint64_t base64_encoded_size(std::uint64_t length, std::uint64_t width) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t groups =
      length / kBase64GroupBytes + (length % kBase64GroupBytes != 0 ? 1 : 0);
  if (groups > kMax / kBase64GroupChars) return kMax;
  const std::uint64_t chars = groups * kBase64GroupChars;
  if (width == kBase64Unbroken || chars == 0) return chars;
  const std::uint64_t breaks = (chars - 1) / width;
  return chars > kMax - breaks ? kMax : chars + breaks;
}

// Writes the encoding of `data` (base64_encoded_size bytes, no terminating zero) to `dest`;
// returns the number of bytes written. A line feed follows every width-th character except the
// last one.
std::size_t base64_encode_into(std::span<const std::uint8_t> data, char* dest, std::uint64_t width);

// The common short value in one line, at a cost that does not depend on its length: encodes
// `length` (at most kBase64ShortMax) bytes at `data` to `dest` and returns the characters
// written. It reads kBase64ShortRead bytes at `data` whatever the length, and writes up to
// kBase64ShortRoom bytes at `dest`; the bytes after the characters returned are scratch.
inline constexpr std::size_t kBase64ShortMax = 24;
inline constexpr std::size_t kBase64ShortRead = 26;
inline constexpr std::size_t kBase64ShortRoom = 34;
std::size_t base64_encode_short(const std::uint8_t* data, std::size_t length, char* dest);

// The lenient decoder as a state machine, so that a text can be decoded in pieces: feed every
// piece to base64_decode_step in order, then call base64_decode_finish once.
struct Base64Decoder {
  std::uint32_t values[4] = {};
  int places = 0;                  // places of the current group filled so far
  bool last_was_accepted = false;  // the last byte fed was an accepted character
  bool ended = false;              // a padded group was decoded: everything after it is ignored
};

// Decodes `text` into `dest` (room for text.size() bytes is always enough); returns the number
// of bytes written. `dest` may be text.data() itself: the output never overtakes the input.
[[nodiscard]] std::size_t base64_decode_step(Base64Decoder& state,
                                             std::span<const std::uint8_t> text,
                                             std::uint8_t* dest);
// Ends the text: a group cut short yields its bytes as if padded, except a lone character that
// was the text's very last byte, which yields nothing. base64_decode_step has written every byte
// whose characters it saw, so at most one byte is left: that of a lone first character.
[[nodiscard]] std::size_t base64_decode_finish(Base64Decoder& state, std::uint8_t* dest);

// A whole text in one call; `dest` may be text.data().
[[nodiscard]] std::size_t base64_decode_into(std::span<const std::uint8_t> text,
                                             std::uint8_t* dest);

// The exact form of a base64 text, checked as it streams beside the decoder: once the white
// space (space, tab, CR, LF) is left out, empty or groups of four characters of the alphabet,
// '=' only as the last one or two characters of the text, and the bits that the padding leaves
// unused zero, as every encoder writes them. Such a text decodes to one value only, which the
// lenient decoder also gives.
struct Base64Form {
  std::uint64_t chars = 0;  // characters taken, padding included
  std::uint8_t pads = 0;
  std::uint8_t last = 0;  // the value of the last alphabet character
  bool broken = false;
};
void base64_form_step(Base64Form& form, std::span<const std::uint8_t> text);
// Whether the whole text fed to base64_form_step has the exact form.
bool base64_form_exact(const Base64Form& form);

}  // namespace tbl2tblx
