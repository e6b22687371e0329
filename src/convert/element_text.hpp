// Element texts of a document, decoded as they stream through the window: numbers parsed, short
// texts (names, type names, group references, the version) gathered, strings unescaped and blobs
// decoded straight into a table's file, so that a value of any length takes the same memory.
// Each read takes the text of the start tag just scanned and refuses it at that tag.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "base64/base64.hpp"
#include "convert/reader.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"

namespace tbl2tblx {

using Name = std::array<char, kNameFieldWidth>;  // at most 20 characters and a zero

// Names, type names, group references and the version: more than any of them can hold.
inline constexpr std::size_t kShortTextSize = 32;
static_assert(kShortTextSize > kMaxNameChars && kShortTextSize > kDocumentVersion.size());

// Where decoded characters go.
enum class Sink : std::uint8_t { kShort, kNumber, kString, kBlob };

// A number's text as it streams: XML white space, an optional sign, at least one decimal digit,
// XML white space, and nothing else.
enum class NumberPart : std::uint8_t { kLead, kSign, kDigits, kTrail, kBad };

// An element text decoded so far.
struct Value {
  Sink sink = Sink::kShort;
  std::array<char, kShortTextSize> chars = {};  // kShort: the first characters
  std::size_t size = 0;                         // kShort: every character counted
  NumberPart part = NumberPart::kLead;          // kNumber
  bool negative = false;
  std::int64_t magnitude = 0;
  OutputFile* out = nullptr;  // kString and kBlob: written as decoded, failures checked later
  Base64Decoder base64;       // kBlob
  Base64Form form;            // kBlob: a slip would decode to other bytes without a word
};

std::string_view short_text(const Value& v);

// Whether the short text `v` is `lower` in any letter case.
bool short_text_is(const Value& v, std::string_view lower);

// The text of the element whose start tag was just scanned, decoded into `v` as it streams
// through the window: it runs on across comments and processing instructions, takes the
// characters of CDATA sections as they stand, and decodes entities, line ends and (in a UTF-8
// document) UTF-8. A text that no character of the binary form can stand for is refused at the
// start tag. A CDATA section that the document ends inside is no part of the text: what was
// decoded of it is taken back.
[[nodiscard]] int read_text(Reader& r, Value& v);

// A number in [min, max] as the whole text of the element.
[[nodiscard]] int read_number(Reader& r, std::int64_t min, std::int64_t max, std::int64_t& value);

// An id or skeyid: 0 to 255, refused at the element's start tag unless the text is exactly
// such a number.
[[nodiscard]] int read_byte(Reader& r, std::uint8_t& byte);

// An int2 or int4 value in the little-endian bytes of the binary form.
template <typename Int>
[[nodiscard]] int read_value(Reader& r, std::array<std::uint8_t, kInt4Size>& number) {
  std::int64_t value = 0;
  if (read_number(r, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(), value) !=
      0) {
    return 1;
  }
  number = little_endian_bytes<kInt4Size>(static_cast<std::uint32_t>(value));
  return 0;
}

// A type name in any letter case.
[[nodiscard]] int read_type(Reader& r, std::uint8_t& code);

// A table, field or group name into a zero-filled field; longer than 20 characters is refused
// at the element's start tag rather than cut.
[[nodiscard]] int read_name(Reader& r, Name& name);

// The number of the group among `groups` that the element text names (an empty text names the
// group with the empty name); a name that is none of them is refused at the start tag.
[[nodiscard]] int read_group(Reader& r, std::span<const Name> groups, std::uint8_t& group);

// The value of the attribute `name` (one of those the reader keeps) of the tag just scanned,
// decoded into `v` as element texts are; `present` is false when the tag has no such attribute.
// A value that cannot be decoded is refused at the tag.
[[nodiscard]] int read_attribute(Reader& r, std::string_view name, bool& present, Value& v);

// The document's format version, which must be kDocumentVersion.
[[nodiscard]] int read_version(Reader& r);

}  // namespace tbl2tblx
