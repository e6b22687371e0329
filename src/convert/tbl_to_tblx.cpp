// Binary table file to XML document: one forward walk over the file through a window that
// refills, rendering the document straight into the output writer's buffer as the walk goes.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "base64/base64.hpp"
#include "convert/convert.hpp"
#include "convert/messages.hpp"
#include "convert/shared.hpp"
#include "convert/stored_template.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

// ---- Templates as they are stored on disk -------------------------------------------------------

constexpr auto& kHead = kStored<kTemplateHead>;
constexpr auto& kHeaderEnd = kStored<kTemplateHeaderEnd>;
constexpr auto& kTable = kStored<kTemplateTable>;
constexpr auto& kSkeyid = kStored<kTemplateSkeyid>;
constexpr auto& kFieldInfo = kStored<kTemplateFieldInfo>;
constexpr auto& kGroups = kStored<kTemplateGroups>;
constexpr auto& kGroup = kStored<kTemplateGroup>;
constexpr auto& kRecords = kStored<kTemplateRecords>;
constexpr auto& kRecord = kStored<kTemplateRecord>;
constexpr auto& kRecordGroup = kStored<kTemplateRecordGroup>;
constexpr auto& kFieldData = kStored<kTemplateFieldData>;
// Every slot is filled: the renderer below names each one.
static_assert(kHead.slot_count == 5 && kHeaderEnd.slot_count == 7 && kTable.slot_count == 3);
static_assert(kSkeyid.slot_count == 1 && kFieldInfo.slot_count == 3 && kGroups.slot_count == 1);
static_assert(kGroup.slot_count == 1 && kRecords.slot_count == 1 && kRecord.slot_count == 1);
static_assert(kRecordGroup.slot_count == 1 && kFieldData.slot_count == 2);

constexpr std::string_view kSchemaEnd = kStored<kTemplateSchemaEnd>.whole();
constexpr std::string_view kGroupsEnd = kStored<kTemplateGroupsEnd>.whole();
constexpr std::string_view kContentBlob = kStored<kTemplateContentBlob>.whole();
constexpr std::string_view kContent = kStored<kTemplateContent>.whole();
constexpr std::string_view kFieldDataEnd = kStored<kTemplateFieldDataEnd>.whole();
constexpr std::string_view kRecordEnd = kStored<kTemplateRecordEnd>.whole();
constexpr std::string_view kTail = kStored<kTemplateTail>.whole();

// ---- Rendering into the output buffer -----------------------------------------------------------

template <class Int>
constexpr std::size_t kMaxDigits = std::numeric_limits<Int>::digits10 + 1 + std::is_signed_v<Int>;

constexpr std::size_t kMaxTypeName = [] {
  std::size_t longest = 0;
  for (std::string_view name : kTypeNames)
    longest = std::max(longest, name.size());
  return longest;
}();
constexpr std::size_t kMaxEscapedName = kMaxNameChars * kEscapeMaxExpansion;

// A window of the output buffer that the walk fills; it is handed back to the writer when a
// larger one is needed and at the end. Most writes then cost one comparison.
struct Window {
  OutputFile& out;
  char* start = nullptr;
  char* at = nullptr;
  char* end = nullptr;
};

// Small windows keep the writer's buffer nearly full before it flushes.
constexpr std::size_t kWindowSize = std::size_t{64} << 10;

void close_window(Window& window) {
  if (window.start != nullptr)
    output_advance(window.out, static_cast<std::size_t>(window.at - window.start));
  window.start = window.at = window.end = nullptr;
}

bool open_window(Window& window, std::size_t n) {
  close_window(window);
  const std::size_t size = std::max(n, kWindowSize);
  auto* start = reinterpret_cast<char*>(output_reserve(window.out, size));
  if (start == nullptr) return false;
  window.start = window.at = start;
  window.end = start + size;
  return true;
}

// Room for n <= kOutputBufferSize bytes at window.at; false once the output has failed.
bool make_room(Window& window, std::size_t n) {
  return static_cast<std::size_t>(window.end - window.at) >= n || open_window(window, n);
}

// Ends a run of unchecked writes into the room make_room made; the test build asserts that they
// stayed inside it.
void advance_to(Window& window, char* at) {
  assert(at >= window.at && at <= window.end);
  window.at = at;
}

std::size_t room_left(const Window& window) {
  return static_cast<std::size_t>(window.end - window.at);
}

char* put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

template <class Int>
char* put_number(char* at, Int value) {
  return std::to_chars(at, at + kMaxDigits<Int>, value).ptr;
}

// The decimal text of every byte value, padded to one width so that it is copied with a
// fixed-size move: ids and small counts are the most frequent numbers of a document.
constexpr std::size_t kByteTextWidth = 4;  // room for the move, not just the digits
constexpr std::size_t kByteValues = std::size_t{std::numeric_limits<std::uint8_t>::max()} + 1;
struct ByteText {
  std::array<char, kByteTextWidth> text{};
  std::size_t size = 0;
};

consteval std::array<ByteText, kByteValues> make_byte_texts() {
  std::array<ByteText, kByteValues> texts{};
  for (std::size_t value = 0; value < texts.size(); ++value) {
    ByteText& t = texts[value];
    if (value >= 100) t.text[t.size++] = static_cast<char>('0' + value / 100);
    if (value >= 10) t.text[t.size++] = static_cast<char>('0' + value / 10 % 10);
    t.text[t.size++] = static_cast<char>('0' + value % 10);
  }
  return texts;
}
constexpr auto kByteTexts = make_byte_texts();

template <>
char* put_number(char* at, std::uint8_t value) {
  std::memcpy(at, kByteTexts[value].text.data(), kByteTextWidth);
  return at + kByteTexts[value].size;
}

// The decimal text of an int2 or int4 value: the digits are made in a register, without a
// loop or a table, and stored as whole words, so the output needs kValueStore bytes of room, not
// just the number's. A document holds one for every int value.
constexpr std::size_t kMaxValueDigits = 10;  // of a 32-bit magnitude
constexpr std::size_t kLowDigits = 8;        // made in one 64-bit word
constexpr std::size_t kHighDigits = kMaxValueDigits - kLowDigits;
constexpr std::size_t kValueStore = kMaxValueDigits;  // the high digits, then the word
constexpr std::size_t kValueRoom = 1 + kValueStore;   // the sign, then the stores
constexpr std::uint32_t kHundredMillion = 100'000'000;
constexpr std::uint32_t kTenThousand = 10'000;

constexpr auto kPowersOfTen = powers_of_ten<std::uint32_t, kMaxValueDigits>();

std::size_t decimal_digits(std::uint32_t value) {
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
constexpr std::uint64_t kHundredsMask = 0x0000'007F'0000'007F;
constexpr std::uint64_t kTensMask = 0x000F'000F'000F'000F;
constexpr std::uint64_t kZeroChars = 0x3030'3030'3030'3030;

// The eight digits of value < 10^8, leading zeros included.
std::uint64_t eight_digits(std::uint32_t value) {
  std::uint64_t x = value / kTenThousand | std::uint64_t{value % kTenThousand} << 32;
  const std::uint64_t hundreds = (x * 10486 >> 20) & kHundredsMask;
  x = hundreds | (x - hundreds * 100) << 16;
  const std::uint64_t tens = (x * 103 >> 10) & kTensMask;
  x = tens | (x - tens * 10) << 8;
  return x | kZeroChars;
}

// The two digits of value < 100.
std::uint64_t two_digits(std::uint32_t value) {
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
char* put_low_magnitude(char* at, std::uint32_t value) {
  assert(value < kHundredMillion);
  const std::size_t digits = decimal_digits(value);
  put_word<kLowDigits>(at, eight_digits(value) >> (8 * (kLowDigits - digits)));
  return at + digits;
}

char* put_magnitude(char* at, std::uint32_t value) {
  const std::size_t digits = decimal_digits(value);
  const std::size_t high_digits = digits > kLowDigits ? digits - kLowDigits : 0;
  const std::size_t low_digits = digits - high_digits;
  put_word<kHighDigits>(at, two_digits(value / kHundredMillion) >> (8 * (2 - high_digits)));
  put_word<kLowDigits>(at + high_digits,
                       eight_digits(value % kHundredMillion) >> (8 * (kLowDigits - low_digits)));
  return at + digits;
}

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

// A date field in at least `width` characters, zero-padded after any sign.
char* put_padded(char* at, int value, std::size_t width) {
  char digits[kMaxDigits<int>];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  std::string_view text(digits, static_cast<std::size_t>(end - digits));
  if (value < 0) {
    *at++ = '-';
    text.remove_prefix(1);
    --width;
  }
  for (std::size_t n = text.size(); n < width; ++n)
    *at++ = '0';
  return put(at, text);
}

// A name (at most kMaxNameChars bytes), escaped as string values are.
char* put_name(char* at, std::string_view name) {
  assert(name.size() <= kMaxNameChars);
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  const EscapeProgress escaped = escape_content(bytes, {at, kMaxEscapedName});
  assert(escaped.done);
  return at + escaped.written;
}

// Text escaped as a string value, in pieces when it does not fit the window. `consumed`, when
// given, receives the bytes taken: fewer than data.size() when a zero byte ended the text.
bool write_escaped(Window& window, std::span<const std::uint8_t> data,
                   std::size_t* consumed = nullptr) {
  std::size_t taken = 0;
  for (;;) {
    const std::size_t worst = static_cast<std::size_t>(std::clamp<std::uint64_t>(
        std::uint64_t{data.size()} * kEscapeMaxExpansion, kEscapeMaxExpansion, kOutputBufferSize));
    if (!make_room(window, worst)) return false;
    const EscapeProgress progress = escape_content(data, {window.at, room_left(window)});
    advance_to(window, window.at + progress.written);
    taken += progress.consumed;
    if (progress.done) break;
    data = data.subspan(progress.consumed);
  }
  if (consumed != nullptr) *consumed = taken;
  return true;
}

// Base64 of `bytes` on one line; the encoding of at most kBase64Piece bytes fits the buffer.
constexpr std::size_t kBase64Piece = kOutputBufferSize / 4 * 3;
static_assert(kBase64Piece % 3 == 0);

bool write_base64_piece(Window& window, std::span<const std::uint8_t> bytes) {
  if (!make_room(window, base64_encoded_size(bytes.size(), kBase64Unbroken))) return false;
  advance_to(window, window.at + base64_encode_into(bytes, window.at, kBase64Unbroken));
  return true;
}

std::span<const std::uint8_t> text_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool write_text(Window& window, std::string_view text) {
  if (!make_room(window, text.size())) return false;
  advance_to(window, put(window.at, text));
  return true;
}

// ---- Document header ----------------------------------------------------------------------------

bool write_head(Window& window, const DocumentHead& head) {
  constexpr std::size_t kRoom = kHead.text.size() + kXmlVersion.size() + kXmlEncoding.size() +
                                kDocumentVersion.size() + kAuthorLead.size() +
                                kAuthorCredit.size() + kAuthorSeparator.size() + kWebAddress.size();
  if (!make_room(window, kRoom)) return false;
  char* at = put(window.at, kHead.before("xml-version"));
  at = put(at, kXmlVersion);
  at = put(at, kHead.before("encoding"));
  at = put(at, kXmlEncoding);
  at = put(at, kHead.before("version"));
  at = put(at, kDocumentVersion);
  at = put(at, kHead.before("author"));
  at = put(at, kAuthorLead);
  at = put(at, kAuthorCredit);
  at = put(at, kAuthorSeparator);
  at = put(at, kWebAddress);
  advance_to(window, put(at, kHead.before("document")));
  if (!write_escaped(window, text_bytes(head.document_name))) return false;
  if (!write_text(window, kHead.after("document"))) return false;
  if (!write_text(window, kHeaderEnd.before("source"))) return false;
  if (!write_escaped(window, text_bytes(head.source_name))) return false;

  const std::array<int, 6> fields = {head.year, head.month,  head.day,
                                     head.hour, head.minute, head.second};
  constexpr std::array<std::string_view, 6> kAfterFields = {
      kHeaderEnd.after("year"), kHeaderEnd.after("month"),  kHeaderEnd.after("day"),
      kHeaderEnd.after("hour"), kHeaderEnd.after("minute"), kHeaderEnd.after("second")};
  if (!make_room(window, kHeaderEnd.text.size() + fields.size() * kMaxDigits<int>)) return false;
  constexpr std::size_t kYearWidth = 4;
  constexpr std::size_t kFieldWidth = 2;
  at = put(window.at, kHeaderEnd.before("year"));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    at = put_padded(at, fields[i], i == 0 ? kYearWidth : kFieldWidth);
    at = put(at, kAfterFields[i]);
  }
  advance_to(window, at);
  return true;
}

// ---- Reading the binary table -------------------------------------------------------------------

// The walk takes bytes from the input window: input_need(in, n) first, then take(in, n).
const std::uint8_t* take(InputWindow& in, std::size_t n) {
  assert(input_available(in) >= n);
  const std::uint8_t* bytes = in.at;
  in.at += n;
  return bytes;
}

std::uint32_t take_count(InputWindow& in) {
  return read_little_endian<std::uint32_t>(take(in, kCountWidth));
}

// Why bytes the walk needs are not there: the table ends early, or reading failed.
TableOutcome missing(const InputWindow& in) {
  return in.failed ? TableOutcome::kUnreadable : TableOutcome::kMismatched;
}

// A stored name: up to its first zero byte, never more than kMaxNameChars characters.
std::string_view stored_name(const std::uint8_t* field, std::size_t width) {
  const auto* chars = reinterpret_cast<const char*>(field);
  width = std::min(width, kMaxNameChars);
  return {chars, static_cast<std::size_t>(std::find(chars, chars + width, '\0') - chars)};
}

// ---- Walking the table --------------------------------------------------------------------------

struct TableWalk {
  InputWindow& in;
  Window& out;
  Console& console;
  bool header_form = false;
  bool overwrite = false;
  std::string table_name{};  // as stored, for the progress line
  // The record group line of each group, rendered once per table.
  std::vector<std::string> group_lines{};
  // The records take at least their heads: until the source is known to reach that far, the
  // count may be false, and no progress line is shown (a source of known size is checked at
  // once). Records walked meanwhile get their lines once it is known.
  std::uint64_t records_reach = 0;  // the offset the records' heads alone reach
  std::uint64_t progress_shown = 0;
};

TableOutcome read_file_header(TableWalk& walk) {
  if (!input_need(walk.in, 1)) return missing(walk.in);
  walk.header_form = walk.in.at[0] == 0;
  if (!walk.header_form) return TableOutcome::kComplete;
  if (!input_need(walk.in, kFileHeaderSize)) return missing(walk.in);
  walk.overwrite = take(walk.in, kFileHeaderSize)[kHeaderWriteModeOffset] != kAppend;
  return TableOutcome::kComplete;
}

bool write_field_info(Window& out, const std::uint8_t* info) {
  const std::uint8_t id = info[kFieldInfoIdOffset];
  const std::string_view name = stored_name(info + kFieldInfoNameOffset, kNameFieldWidth);
  const std::uint8_t type = info[kFieldInfoTypeOffset];
  if (!make_room(out, kFieldInfo.text.size() + kByteTextWidth + kMaxEscapedName + kMaxTypeName)) {
    return false;
  }
  char* at = put(out.at, kFieldInfo.before("id"));
  at = put_number(at, id);
  at = put(at, kFieldInfo.before("name"));
  at = put_name(at, name);
  at = put(at, kFieldInfo.before("type"));
  at = put(at, type_name(type));
  advance_to(out, put(at, kFieldInfo.after("type")));
  return true;
}

TableOutcome write_schema(TableWalk& walk) {
  if (!input_need(walk.in, kTableNameWidth + kCountWidth)) return missing(walk.in);
  walk.table_name = stored_name(take(walk.in, kTableNameWidth), kTableNameWidth);
  const std::uint32_t ninfo = take_count(walk.in);
  // skeyid follows the field infos but is shown before them: the window holds them all, growing
  // for a schema larger than it.
  const std::uint64_t schema_size = std::uint64_t{ninfo} * kFieldInfoSize + 1;
  if (input_known_short(walk.in, schema_size)) return TableOutcome::kMismatched;
  if (!input_need(walk.in, static_cast<std::size_t>(schema_size))) return missing(walk.in);
  const std::uint8_t skeyid = walk.in.at[schema_size - 1];

  const std::string_view write = walk.overwrite ? kWriteOverwrite : kWriteAppend;
  const std::string_view name = walk.table_name;
  if (!make_room(walk.out, kTable.text.size() + kWriteOverwrite.size() + kMaxEscapedName +
                               kMaxDigits<std::uint32_t> + kSkeyid.text.size() + kByteTextWidth)) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kTable.before("write"));
  at = put(at, write);
  at = put(at, kTable.before("name"));
  at = put_name(at, name);
  at = put(at, kTable.before("ninfo"));
  at = put_number(at, ninfo);
  at = put(at, kTable.after("ninfo"));
  if (skeyid != kNone) {
    at = put(at, kSkeyid.before("skeyid"));
    at = put_number(at, skeyid);
    at = put(at, kSkeyid.after("skeyid"));
  }
  advance_to(walk.out, at);

  for (std::uint32_t i = 0; i < ninfo; ++i) {
    if (!write_field_info(walk.out, take(walk.in, kFieldInfoSize)))
      return TableOutcome::kUnwritable;
  }
  take(walk.in, 1);  // skeyid, already shown
  return write_text(walk.out, kSchemaEnd) ? TableOutcome::kComplete : TableOutcome::kUnwritable;
}

std::string render_group_line(std::string_view name) {
  std::string line(kRecordGroup.text.size() + kMaxEscapedName, '\0');
  char* at = put(line.data(), kRecordGroup.before("group"));
  at = put_name(at, name);
  at = put(at, kRecordGroup.after("group"));
  line.resize(static_cast<std::size_t>(at - line.data()));
  return line;
}

TableOutcome write_groups(TableWalk& walk) {
  if (!walk.header_form) return TableOutcome::kComplete;
  if (!input_need(walk.in, 1)) return missing(walk.in);
  const std::uint8_t ngroup = *take(walk.in, 1);
  if (ngroup == 0) return TableOutcome::kComplete;
  if (input_known_short(walk.in, std::uint64_t{ngroup} * kNameFieldWidth)) {
    return TableOutcome::kMismatched;
  }

  if (!make_room(walk.out, kGroups.text.size() + kByteTextWidth)) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kGroups.before("ngroup"));
  at = put_number(at, ngroup);
  advance_to(walk.out, put(at, kGroups.after("ngroup")));

  walk.group_lines.reserve(ngroup);
  for (std::size_t i = 0; i < ngroup; ++i) {
    if (!input_need(walk.in, kNameFieldWidth)) return missing(walk.in);
    const std::string_view name = stored_name(take(walk.in, kNameFieldWidth), kNameFieldWidth);
    if (!make_room(walk.out, kGroup.text.size() + kMaxEscapedName)) {
      return TableOutcome::kUnwritable;
    }
    at = put(walk.out.at, kGroup.before("group"));
    at = put_name(at, name);
    advance_to(walk.out, put(at, kGroup.after("group")));
    walk.group_lines.push_back(render_group_line(name));
  }
  return write_text(walk.out, kGroupsEnd) ? TableOutcome::kComplete : TableOutcome::kUnwritable;
}

// The text between a fielddata entry's id and its value, for each type code (the last for
// every unknown code), padded to one width so that it is copied with a fixed-size move.
constexpr std::size_t kTypeTextWidth = 64;
struct TypeText {
  std::array<char, kTypeTextWidth> text{};
  std::size_t size = 0;
};

constexpr std::string_view kBeforeType = kFieldData.before("type");
constexpr std::string_view kAfterType = kFieldData.after("type");

consteval std::array<TypeText, kTypeNames.size() + 1> make_type_texts() {
  std::array<TypeText, kTypeNames.size() + 1> texts{};
  for (std::size_t code = 0; code < texts.size(); ++code) {
    const auto type = static_cast<std::uint8_t>(code);
    for (std::string_view part :
         {kBeforeType, type_name(type), kAfterType, type == kBlob ? kContentBlob : kContent}) {
      for (char c : part)
        texts[code].text[texts[code].size++] = c;
    }
  }
  return texts;
}
constexpr auto kTypeTexts = make_type_texts();

// Everything of one fielddata entry but a string or blob value.
constexpr std::size_t kEntryRoom = kFieldData.before("id").size() + kByteTextWidth +
                                   kTypeTextWidth + kValueRoom + kFieldDataEnd.size();

char* put_entry_head(char* at, std::uint8_t id, std::uint8_t type) {
  at = put(at, kFieldData.before("id"));
  at = put_number(at, id);
  const TypeText& text = kTypeTexts[std::min<std::size_t>(type, kTypeTexts.size() - 1)];
  std::memcpy(at, text.text.data(), kTypeTextWidth);
  return at + text.size;
}

// A string value of `length` bytes, escaped as it passes through the window: up to its first
// zero byte, the rest passed over. A CR that ends a piece waits for the byte after it, so that
// CR LF stays one line break.
TableOutcome write_string(TableWalk& walk, std::uint32_t length) {
  InputWindow& in = walk.in;
  // Most values are short: escaped with block copies, read from the window and stored at once.
  if (length <= kEscapeBlock && input_available(in) >= kEscapeShortRead) {
    if (!make_room(walk.out, kEscapeShortRoom)) return TableOutcome::kUnwritable;
    advance_to(walk.out, walk.out.at + escape_short_content(take(in, length), length, walk.out.at));
    return TableOutcome::kComplete;
  }
  std::uint64_t left = length;
  bool stopped = false;  // at a zero byte
  while (left > 0) {
    const bool lone_cr = input_available(in) == 1 && left > 1 && *in.at == '\r';
    if ((in.at == in.end || lone_cr) && !input_need(in, lone_cr ? 2 : 1)) return missing(in);
    std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, input_available(in)));
    if (!stopped) {
      if (piece < left && in.at[piece - 1] == '\r') --piece;
      std::size_t consumed = 0;
      if (!write_escaped(walk.out, {in.at, piece}, &consumed)) return TableOutcome::kUnwritable;
      stopped = consumed < piece;
    }
    in.at += piece;
    left -= piece;
  }
  return TableOutcome::kComplete;
}

// A blob (or unknown type) value of `length` bytes as base64, encoded as it passes through the
// window in pieces of whole groups of three bytes.
TableOutcome write_blob(TableWalk& walk, std::uint32_t length) {
  InputWindow& in = walk.in;
  if (length <= kBase64ShortMax && input_available(in) >= kBase64ShortRead) {
    if (!make_room(walk.out, kBase64ShortRoom)) return TableOutcome::kUnwritable;
    advance_to(walk.out, walk.out.at + base64_encode_short(take(in, length), length, walk.out.at));
    return TableOutcome::kComplete;
  }
  std::uint64_t left = length;
  constexpr std::size_t kGroup3 = 3;
  while (left > 0) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, kGroup3));
    if (!input_need(in, wanted)) return missing(in);
    std::size_t piece = static_cast<std::size_t>(
        std::min<std::uint64_t>({left, input_available(in), kBase64Piece}));
    if (piece < left) piece -= piece % kGroup3;
    if (!write_base64_piece(walk.out, {in.at, piece})) return TableOutcome::kUnwritable;
    in.at += piece;
    left -= piece;
  }
  return TableOutcome::kComplete;
}

// An int2/int4 entry whose length is another: damaged, once the source is known to hold it.
TableOutcome wrong_int_length(TableWalk& walk, std::uint32_t length) {
  if (input_known_short(walk.in, length)) return TableOutcome::kMismatched;
  if (walk.in.size == InputWindow::kUnknownSize && !input_skip(walk.in, length)) {
    return missing(walk.in);
  }
  return TableOutcome::kDamaged;
}

TableOutcome write_entry(TableWalk& walk) {
  InputWindow& in = walk.in;
  if (!input_need(in, kFieldDataHeadSize)) return missing(in);
  const std::uint8_t* head = take(in, kFieldDataHeadSize);
  const std::uint8_t id = head[kFieldDataIdOffset];
  const std::uint8_t type = head[kFieldDataTypeOffset];
  const std::uint32_t length = read_little_endian<std::uint32_t>(head + kFieldDataLengthOffset);
  const bool is_int = type == kInt2 || type == kInt4;
  if (is_int && length != (type == kInt2 ? kInt2Size : kInt4Size)) {
    return wrong_int_length(walk, length);
  }
  if (input_known_short(in, length)) return TableOutcome::kMismatched;
  if (is_int && !input_need(in, length)) return missing(in);
  // The room of an entry holds an int value and the entry's end too.
  if (!make_room(walk.out, kEntryRoom)) return TableOutcome::kUnwritable;
  char* at = put_entry_head(walk.out.at, id, type);
  if (is_int) {
    at = type == kInt2 ? put_value(at, read_little_endian<std::int16_t>(take(in, kInt2Size)))
                       : put_value(at, read_little_endian<std::int32_t>(take(in, kInt4Size)));
    advance_to(walk.out, put(at, kFieldDataEnd));
    return TableOutcome::kComplete;
  }
  advance_to(walk.out, at);
  const TableOutcome outcome =
      type == kString ? write_string(walk, length) : write_blob(walk, length);
  if (outcome != TableOutcome::kComplete) return outcome;
  return write_text(walk.out, kFieldDataEnd) ? TableOutcome::kComplete : TableOutcome::kUnwritable;
}

TableOutcome write_record(TableWalk& walk) {
  const std::size_t head_size = walk.header_form ? kRecordHeadSize : kHeaderlessRecordHeadSize;
  if (!input_need(walk.in, head_size)) return missing(walk.in);
  const std::uint8_t* head = take(walk.in, head_size);
  const std::uint8_t group = walk.header_form ? head[kRecordGroupOffset] : kNone;
  const std::uint8_t ndata = head[head_size - 1];
  if (group != kNone && group >= walk.group_lines.size()) return TableOutcome::kDamaged;

  const std::string_view group_line =
      group == kNone ? std::string_view{""} : std::string_view{walk.group_lines[group]};
  if (!make_room(walk.out, kRecord.text.size() + kByteTextWidth + group_line.size())) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kRecord.before("ndata"));
  at = put_number(at, ndata);
  at = put(at, kRecord.after("ndata"));
  if (!group_line.empty()) at = put(at, group_line);
  advance_to(walk.out, at);

  for (std::size_t i = 0; i < ndata; ++i) {
    if (const TableOutcome outcome = write_entry(walk); outcome != TableOutcome::kComplete) {
      return outcome;
    }
  }
  return write_text(walk.out, kRecordEnd) ? TableOutcome::kComplete : TableOutcome::kUnwritable;
}

bool record_count_confirmed(const TableWalk& walk) {
  return walk.in.received >= walk.records_reach;
}

void show_progress(TableWalk& walk, std::uint64_t walked, std::uint64_t total) {
  while (walk.progress_shown < walked)
    show_progress(walk.console, walk.table_name, walk.overwrite, ++walk.progress_shown, &total);
}

// A walk that stopped before the record count was confirmed: a count the source cannot hold
// is what the table is reported for, as if checked first; otherwise the records walked get
// their progress lines before the outcome.
TableOutcome stop_records(TableWalk& walk, TableOutcome outcome, std::uint64_t walked,
                          std::uint64_t total) {
  if (!record_count_confirmed(walk) && outcome != TableOutcome::kUnreadable &&
      !input_skip(walk.in, walk.records_reach - input_offset(walk.in))) {
    return missing(walk.in);
  }
  if (outcome != TableOutcome::kUnreadable) show_progress(walk, walked, total);
  return outcome;
}

TableOutcome write_records(TableWalk& walk) {
  if (!input_need(walk.in, kCountWidth)) return missing(walk.in);
  const std::uint32_t nrecord = take_count(walk.in);
  // Every record takes at least its head: a count the rest cannot hold fails before any walk.
  const std::size_t record_head = walk.header_form ? kRecordHeadSize : kHeaderlessRecordHeadSize;
  const std::uint64_t heads = std::uint64_t{nrecord} * record_head;
  if (input_known_short(walk.in, heads)) return TableOutcome::kMismatched;
  walk.records_reach = walk.in.size != InputWindow::kUnknownSize ? 0 : input_offset(walk.in) + heads;

  if (!make_room(walk.out, kRecords.text.size() + kMaxDigits<std::uint32_t>)) {
    return stop_records(walk, TableOutcome::kUnwritable, 0, nrecord);
  }
  char* at = put(walk.out.at, kRecords.before("nrecord"));
  at = put_number(at, nrecord);
  advance_to(walk.out, put(at, kRecords.after("nrecord")));

  const std::uint64_t total = nrecord;
  for (std::uint64_t number = 1; number <= total; ++number) {
    if (const TableOutcome outcome = write_record(walk); outcome != TableOutcome::kComplete) {
      return stop_records(walk, outcome, number - 1, total);
    }
    if (record_count_confirmed(walk)) show_progress(walk, number, total);
  }
  return write_text(walk.out, kTail) ? TableOutcome::kComplete : TableOutcome::kUnwritable;
}

// ---- Files --------------------------------------------------------------------------------------

// The base name with the extension replaced: "data/PHONE.TBL" gives "PHONE.tblx".
std::string document_name_for(std::string_view path) {
  const std::size_t separator = path.find_last_of("/\\");
  std::string name(path.substr(separator == std::string_view::npos ? 0 : separator + 1));
  name.resize(name.size() - kTableExtension.size());
  name += kDocumentExtension;
  return name;
}

// SOURCE_DATE_EPOCH, when it is a decimal number of seconds since 1970 (digits only), as UTC:
// documents made again from the same table are then identical, as reproducible builds need.
bool reproducible_date(std::tm& date) {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr) return false;
  const std::string_view digits(epoch);
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  std::time_t seconds = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
  return error == std::errc{} && end == digits.data() + digits.size() &&
         gmtime_r(&seconds, &date) != nullptr;
}

// The date the header shows: the reproducible one, otherwise the local time.
DocumentHead head_now(std::string_view document_name, std::string_view source_name) {
  DocumentHead head{document_name, source_name, 0, 0, 0, 0, 0, 0};
  std::tm date{};
  if (!reproducible_date(date)) {
    const std::time_t now = std::time(nullptr);
    if (localtime_r(&now, &date) == nullptr) return head;
  }
  const CalendarTime time = calendar_time(date);
  head.year = time.year;
  head.month = time.month;
  head.day = time.day;
  head.hour = time.hour;
  head.minute = time.minute;
  head.second = time.second;
  return head;
}

TableOutcome walk_table(InputWindow& table, const DocumentHead& head, Window& window,
                        Console& console) {
  if (!write_head(window, head)) return TableOutcome::kUnwritable;
  TableWalk walk{.in = table, .out = window, .console = console};
  for (auto step : {read_file_header, write_schema, write_groups, write_records}) {
    if (const TableOutcome outcome = step(walk); outcome != TableOutcome::kComplete) return outcome;
  }
  // Bytes after the records: the table does not end where its contents do.
  if (input_need(table, 1)) return TableOutcome::kMismatched;
  return table.failed ? TableOutcome::kUnreadable : TableOutcome::kComplete;
}

}  // namespace

TableOutcome write_table_document(InputWindow& table, const DocumentHead& head, OutputFile& out,
                                  RunContext& run) {
  Window window{.out = out};
  const TableOutcome outcome = walk_table(table, head, window, run.console);
  close_window(window);
  return outcome;
}

int convert_tbl_to_tblx(const char* path, RunContext& run) {
  if (path == nullptr) return 1;
  if (!has_extension(path, kTableExtension)) return 0;
  // The first read comes before anything is created, as a failure to read is reported first.
  InputWindow input;
  Console& console = run.console;
  if (input_window_open(input, path, run.window) != 0 ||
      (!input_need(input, 1) && input.failed)) {
    say(console, kMessageCannotRead, path);
    return 1;
  }
  const std::string document_name = document_name_for(path);
  OutputFile out;
  if (output_open(out, output_path(run, document_name).c_str()) != 0) {
    say(console, kMessageCannotWrite, document_name.c_str());
    return 1;
  }
  say(console, kMessageConverting, path, document_name.c_str());

  const TableOutcome outcome = write_table_document(input, head_now(document_name, path), out, run);
  if (outcome == TableOutcome::kComplete && output_commit(out) == 0) {
    say(console, kMessageDone);
    return 0;
  }
  output_discard(out);
  switch (outcome) {
    case TableOutcome::kMismatched:
      say(console, kMessageMismatch);
      break;
    case TableOutcome::kDamaged:
      say(console, kMessageDamaged, path);
      break;
    case TableOutcome::kUnreadable:
      say(console, kMessageCannotRead, path);
      break;
    case TableOutcome::kComplete:
    case TableOutcome::kUnwritable:
      say(console, kMessageCannotWrite, document_name.c_str());
      break;
  }
  return 1;
}

}  // namespace tbl2tblx
