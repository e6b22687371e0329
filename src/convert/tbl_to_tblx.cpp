// Binary table file to XML document: one forward walk over the loaded file, rendering the
// document straight into the output writer's buffer as the walk goes.
#include <algorithm>
#include <array>
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
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

constexpr std::string_view kTableExtension = ".tbl";
constexpr std::string_view kDocumentExtension = "tblx";  // replaces the last three characters

constexpr const char* kMessageConverting = "%s => %s...\n";
constexpr const char* kMessageCannotRead = "%s: Cannot read the file\n";
constexpr const char* kMessageCannotWrite = "%s: Cannot write the file\n";
constexpr const char* kMessageDamaged = "%s: Damaged table file\n";
constexpr const char* kMessageMismatch = "Warning: EOF mismatched\n";

// ---- Templates as they are stored on disk -------------------------------------------------------

// A writer template cut into the literal pieces around its conversions ("%s", "%d", "%02d",
// "%04d"), with every "\n" already turned into the document line end.
constexpr std::size_t kMaxTemplatePieces = 8;

template <std::size_t Length>
struct StoredTemplate {
  std::array<char, Length> text{};
  std::array<std::size_t, kMaxTemplatePieces + 1> bounds{};  // piece i: [bounds[i], bounds[i+1])
  std::size_t pieces = 0;

  constexpr std::string_view piece(std::size_t i) const {
    return {text.data() + bounds[i], bounds[i + 1] - bounds[i]};
  }
};

consteval std::size_t conversion_length(std::string_view source, std::size_t percent) {
  std::size_t end = percent + 1;
  while (source[end] >= '0' && source[end] <= '9')
    ++end;
  return end + 1 - percent;
}

consteval std::size_t stored_length(std::string_view source) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '%') {
      i += conversion_length(source, i) - 1;
    } else {
      length += source[i] == '\n' ? kDocumentLineEnd.size() : 1;
    }
  }
  return length;
}

template <std::size_t Length>
consteval StoredTemplate<Length> store_template(std::string_view source) {
  StoredTemplate<Length> stored;
  std::size_t length = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '%') {
      stored.bounds[++stored.pieces] = length;
      i += conversion_length(source, i) - 1;
    } else if (source[i] == '\n') {
      for (char c : kDocumentLineEnd)
        stored.text[length++] = c;
    } else {
      stored.text[length++] = source[i];
    }
  }
  stored.bounds[++stored.pieces] = length;
  return stored;
}

template <const char* const& Source>
constexpr auto kStored = store_template<stored_length(Source)>(Source);

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
static_assert(kHead.pieces == 6 && kHeaderEnd.pieces == 8 && kTable.pieces == 4);
static_assert(kSkeyid.pieces == 2 && kFieldInfo.pieces == 4 && kGroups.pieces == 2);
static_assert(kGroup.pieces == 2 && kRecords.pieces == 2 && kRecord.pieces == 2);
static_assert(kRecordGroup.pieces == 2 && kFieldData.pieces == 3);

constexpr std::string_view kSchemaEnd = kStored<kTemplateSchemaEnd>.piece(0);
constexpr std::string_view kGroupsEnd = kStored<kTemplateGroupsEnd>.piece(0);
constexpr std::string_view kContentBlob = kStored<kTemplateContentBlob>.piece(0);
constexpr std::string_view kContent = kStored<kTemplateContent>.piece(0);
constexpr std::string_view kFieldDataEnd = kStored<kTemplateFieldDataEnd>.piece(0);
constexpr std::string_view kRecordEnd = kStored<kTemplateRecordEnd>.piece(0);
constexpr std::string_view kTail = kStored<kTemplateTail>.piece(0);

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

// "%0<width>d" of a date field.
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

// An escaped name from name_buffer, whose line breaks are LF, with each LF stored as the
// document line end.
char* put_name(char* at, std::string_view escaped) {
  for (char c : escaped) {
    if (c == '\n') {
      at = put(at, kDocumentLineEnd);
    } else {
      *at++ = c;
    }
  }
  return at;
}

// Text escaped as a string value, in pieces when it does not fit the window.
bool write_escaped(Window& window, std::span<const std::uint8_t> data) {
  for (;;) {
    const std::size_t worst = static_cast<std::size_t>(std::clamp<std::uint64_t>(
        std::uint64_t{data.size()} * kEscapeMaxExpansion, kEscapeMaxExpansion, kOutputBufferSize));
    if (!make_room(window, worst)) return false;
    const EscapeProgress progress = escape_content(data, {window.at, room_left(window)});
    window.at += progress.written;
    if (progress.done) return true;
    data = data.subspan(progress.consumed);
  }
}

// Base64 on one line, in pieces whose encoding fills at most one output buffer.
bool write_base64(Window& window, std::span<const std::uint8_t> data) {
  constexpr std::size_t kPiece = kOutputBufferSize / 4 * 3;
  static_assert(kPiece % 3 == 0);
  while (!data.empty()) {
    const std::span<const std::uint8_t> piece = data.first(std::min(kPiece, data.size()));
    if (!make_room(window, base64_encoded_size(piece.size(), kBase64Unbroken))) return false;
    window.at += base64_encode_into(piece, window.at, kBase64Unbroken);
    data = data.subspan(piece.size());
  }
  return true;
}

std::span<const std::uint8_t> text_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool write_text(Window& window, std::string_view text) {
  if (!make_room(window, text.size())) return false;
  window.at = put(window.at, text);
  return true;
}

// ---- Document header ----------------------------------------------------------------------------

bool write_head(Window& window, const DocumentHead& head) {
  constexpr std::size_t kRoom = kHead.text.size() + kXmlVersion.size() + kXmlEncoding.size() +
                                kDocumentVersion.size() + kAuthorLead.size() +
                                kAuthorCredit.size() + kAuthorSeparator.size() + kWebAddress.size();
  if (!make_room(window, kRoom)) return false;
  char* at = put(window.at, kHead.piece(0));
  at = put(at, kXmlVersion);
  at = put(at, kHead.piece(1));
  at = put(at, kXmlEncoding);
  at = put(at, kHead.piece(2));
  at = put(at, kDocumentVersion);
  at = put(at, kHead.piece(3));
  at = put(at, kAuthorLead);
  at = put(at, kAuthorCredit);
  at = put(at, kAuthorSeparator);
  at = put(at, kWebAddress);
  window.at = put(at, kHead.piece(4));
  if (!write_escaped(window, text_bytes(head.document_name))) return false;
  if (!write_text(window, kHead.piece(5))) return false;
  if (!write_text(window, kHeaderEnd.piece(0))) return false;
  if (!write_escaped(window, text_bytes(head.source_name))) return false;

  constexpr std::size_t kDateFields = kHeaderEnd.pieces - 2;  // after the source name
  const std::array<int, kDateFields> fields = {head.year, head.month,  head.day,
                                               head.hour, head.minute, head.second};
  if (!make_room(window, kHeaderEnd.text.size() + kDateFields * kMaxDigits<int>)) return false;
  constexpr std::size_t kYearWidth = 4;
  constexpr std::size_t kFieldWidth = 2;
  at = put(window.at, kHeaderEnd.piece(1));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    at = put_padded(at, fields[i], i == 0 ? kYearWidth : kFieldWidth);
    at = put(at, kHeaderEnd.piece(i + 2));
  }
  window.at = at;
  return true;
}

// ---- Reading the binary table -------------------------------------------------------------------

constexpr std::uint64_t kByteWidth = 1;  // the first byte, skeyid, ngroup

struct TableCursor {
  std::span<const std::uint8_t> bytes;
  std::uint64_t at = 0;
};

bool has(const TableCursor& in, std::uint64_t n) {
  return n <= in.bytes.size() - in.at;
}

// The next n bytes; has(in, n) must hold.
std::span<const std::uint8_t> take(TableCursor& in, std::uint64_t n) {
  const auto bytes = in.bytes.subspan(static_cast<std::size_t>(in.at), static_cast<std::size_t>(n));
  in.at += n;
  return bytes;
}

std::uint8_t take_byte(TableCursor& in) {
  return in.bytes[static_cast<std::size_t>(in.at++)];
}

template <class Int>
Int little_endian(const std::uint8_t* bytes) {
  std::make_unsigned_t<Int> value = 0;
  for (std::size_t i = sizeof(Int); i-- > 0;)
    value = static_cast<decltype(value)>(value << 8 | bytes[i]);
  return static_cast<Int>(value);
}

std::uint32_t take_count(TableCursor& in) {
  return little_endian<std::uint32_t>(take(in, kCountWidth).data());
}

// A stored name: up to its first zero byte, never more than kMaxNameChars characters.
std::string_view stored_name(std::span<const std::uint8_t> field) {
  const auto* chars = reinterpret_cast<const char*>(field.data());
  const std::size_t width = std::min(field.size(), kMaxNameChars);
  return {chars, static_cast<std::size_t>(std::find(chars, chars + width, '\0') - chars)};
}

// The name escaped into name_buffer; an empty name gives an empty text, never an earlier one.
std::string_view escaped_name(std::string_view name) {
  char source[kMaxNameChars + 1] = {};
  name.copy(source, kMaxNameChars);
  return {name_buffer, escape_name(source, name_buffer)};
}

// ---- Walking the table --------------------------------------------------------------------------

struct TableWalk {
  TableCursor in;
  Window& out;
  bool header_form = false;
  bool overwrite = false;
  std::string_view table_name{};  // as stored, for the progress line
  // The record group line of each group, rendered once per table.
  std::vector<std::string> group_lines{};
};

constexpr TableOutcome kGoOn = TableOutcome::kComplete;

TableOutcome read_file_header(TableWalk& walk) {
  if (!has(walk.in, kByteWidth)) return TableOutcome::kMismatched;
  walk.header_form = walk.in.bytes[0] == 0;
  if (!walk.header_form) return kGoOn;
  if (!has(walk.in, kFileHeaderSize)) return TableOutcome::kMismatched;
  walk.overwrite = walk.in.bytes[kHeaderWriteModeOffset] != kAppend;
  walk.in.at = kFileHeaderSize;
  return kGoOn;
}

bool write_field_info(Window& out, std::span<const std::uint8_t> info) {
  TableCursor field{info};
  const std::uint8_t id = take_byte(field);
  const std::string_view name = escaped_name(stored_name(take(field, kNameFieldWidth)));
  const std::uint8_t type = take_byte(field);
  if (!make_room(out, kFieldInfo.text.size() + kByteTextWidth + kMaxEscapedName + kMaxTypeName)) {
    return false;
  }
  char* at = put(out.at, kFieldInfo.piece(0));
  at = put_number(at, id);
  at = put(at, kFieldInfo.piece(1));
  at = put_name(at, name);
  at = put(at, kFieldInfo.piece(2));
  at = put(at, type_name(type));
  out.at = put(at, kFieldInfo.piece(3));
  return true;
}

TableOutcome write_schema(TableWalk& walk) {
  if (!has(walk.in, kTableNameWidth + kCountWidth)) return TableOutcome::kMismatched;
  walk.table_name = stored_name(take(walk.in, kTableNameWidth));
  const std::uint32_t ninfo = take_count(walk.in);
  const std::uint64_t infos = std::uint64_t{ninfo} * kFieldInfoSize;
  if (!has(walk.in, infos + kByteWidth)) return TableOutcome::kMismatched;
  const std::uint8_t skeyid = walk.in.bytes[static_cast<std::size_t>(walk.in.at + infos)];

  const std::string_view write = walk.overwrite ? kWriteOverwrite : kWriteAppend;
  const std::string_view name = escaped_name(walk.table_name);
  if (!make_room(walk.out, kTable.text.size() + kWriteOverwrite.size() + kMaxEscapedName +
                               kMaxDigits<std::uint32_t> + kSkeyid.text.size() + kByteTextWidth)) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kTable.piece(0));
  at = put(at, write);
  at = put(at, kTable.piece(1));
  at = put_name(at, name);
  at = put(at, kTable.piece(2));
  at = put_number(at, ninfo);
  at = put(at, kTable.piece(3));
  if (skeyid != kNone) {
    at = put(at, kSkeyid.piece(0));
    at = put_number(at, skeyid);
    at = put(at, kSkeyid.piece(1));
  }
  walk.out.at = at;

  for (std::uint32_t i = 0; i < ninfo; ++i) {
    if (!write_field_info(walk.out, take(walk.in, kFieldInfoSize)))
      return TableOutcome::kUnwritable;
  }
  take_byte(walk.in);  // skeyid, already shown
  return write_text(walk.out, kSchemaEnd) ? kGoOn : TableOutcome::kUnwritable;
}

std::string render_group_line(std::string_view escaped) {
  std::string line(kRecordGroup.text.size() + kMaxEscapedName, '\0');
  char* at = put(line.data(), kRecordGroup.piece(0));
  at = put_name(at, escaped);
  at = put(at, kRecordGroup.piece(1));
  line.resize(static_cast<std::size_t>(at - line.data()));
  return line;
}

TableOutcome write_groups(TableWalk& walk) {
  if (!walk.header_form) return kGoOn;
  if (!has(walk.in, kByteWidth)) return TableOutcome::kMismatched;
  const std::uint8_t ngroup = take_byte(walk.in);
  if (ngroup == 0) return kGoOn;
  if (!has(walk.in, std::uint64_t{ngroup} * kNameFieldWidth)) return TableOutcome::kMismatched;

  if (!make_room(walk.out, kGroups.text.size() + kByteTextWidth)) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kGroups.piece(0));
  at = put_number(at, ngroup);
  walk.out.at = put(at, kGroups.piece(1));

  walk.group_lines.reserve(ngroup);
  for (std::size_t i = 0; i < ngroup; ++i) {
    const std::string_view name = escaped_name(stored_name(take(walk.in, kNameFieldWidth)));
    if (!make_room(walk.out, kGroup.text.size() + kMaxEscapedName)) {
      return TableOutcome::kUnwritable;
    }
    at = put(walk.out.at, kGroup.piece(0));
    at = put_name(at, name);
    walk.out.at = put(at, kGroup.piece(1));
    walk.group_lines.push_back(render_group_line(name));
  }
  return write_text(walk.out, kGroupsEnd) ? kGoOn : TableOutcome::kUnwritable;
}

// The text between a fielddata entry's id and its value, for each type code (the last for
// every unknown code), padded to one width so that it is copied with a fixed-size move.
constexpr std::size_t kTypeTextWidth = 64;
struct TypeText {
  std::array<char, kTypeTextWidth> text{};
  std::size_t size = 0;
};

consteval std::array<TypeText, kTypeNames.size() + 1> make_type_texts() {
  std::array<TypeText, kTypeNames.size() + 1> texts{};
  for (std::size_t code = 0; code < texts.size(); ++code) {
    const auto type = static_cast<std::uint8_t>(code);
    for (std::string_view part : {kFieldData.piece(1), type_name(type), kFieldData.piece(2),
                                  type == kBlob ? kContentBlob : kContent}) {
      for (char c : part)
        texts[code].text[texts[code].size++] = c;
    }
  }
  return texts;
}
constexpr auto kTypeTexts = make_type_texts();

// Everything of one fielddata entry but a string or blob value.
constexpr std::size_t kEntryRoom = kFieldData.piece(0).size() + kByteTextWidth + kTypeTextWidth +
                                   kMaxDigits<std::int32_t> + kFieldDataEnd.size();

char* put_entry_head(char* at, std::uint8_t id, std::uint8_t type) {
  at = put(at, kFieldData.piece(0));
  at = put_number(at, id);
  const TypeText& text = kTypeTexts[std::min<std::size_t>(type, kTypeTexts.size() - 1)];
  std::memcpy(at, text.text.data(), kTypeTextWidth);
  return at + text.size;
}

bool write_value(Window& out, std::uint8_t type, std::span<const std::uint8_t> data) {
  switch (type) {
    case kInt2:
      out.at = put_number(out.at, little_endian<std::int16_t>(data.data()));
      return true;
    case kInt4:
      out.at = put_number(out.at, little_endian<std::int32_t>(data.data()));
      return true;
    case kString:
      return write_escaped(out, data);
    default:
      return write_base64(out, data);
  }
}

TableOutcome write_entry(TableWalk& walk) {
  if (!has(walk.in, kFieldDataHeadSize)) return TableOutcome::kMismatched;
  const std::uint8_t id = take_byte(walk.in);
  const std::uint8_t type = take_byte(walk.in);
  const std::uint32_t length = take_count(walk.in);
  if (!has(walk.in, length)) return TableOutcome::kMismatched;
  const std::span<const std::uint8_t> data = take(walk.in, length);
  if ((type == kInt2 && length != kInt2Size) || (type == kInt4 && length != kInt4Size)) {
    return TableOutcome::kDamaged;
  }
  // The room of an entry holds an int value too.
  if (!make_room(walk.out, kEntryRoom)) return TableOutcome::kUnwritable;
  walk.out.at = put_entry_head(walk.out.at, id, type);
  if (!write_value(walk.out, type, data) || !write_text(walk.out, kFieldDataEnd)) {
    return TableOutcome::kUnwritable;
  }
  return kGoOn;
}

TableOutcome write_record(TableWalk& walk) {
  if (!has(walk.in, walk.header_form ? kRecordHeadSize : kHeaderlessRecordHeadSize)) {
    return TableOutcome::kMismatched;
  }
  const std::uint8_t group = walk.header_form ? take_byte(walk.in) : kNone;
  const std::uint8_t ndata = take_byte(walk.in);
  if (group != kNone && group >= walk.group_lines.size()) return TableOutcome::kDamaged;

  const std::string_view group_line =
      group == kNone ? std::string_view{""} : std::string_view{walk.group_lines[group]};
  if (!make_room(walk.out, kRecord.text.size() + kByteTextWidth + group_line.size())) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kRecord.piece(0));
  at = put_number(at, ndata);
  at = put(at, kRecord.piece(1));
  walk.out.at = put(at, group_line);

  for (std::size_t i = 0; i < ndata; ++i) {
    if (const TableOutcome outcome = write_entry(walk); outcome != kGoOn) return outcome;
  }
  return write_text(walk.out, kRecordEnd) ? kGoOn : TableOutcome::kUnwritable;
}

TableOutcome write_records(TableWalk& walk) {
  if (!has(walk.in, kCountWidth)) return TableOutcome::kMismatched;
  const std::uint32_t nrecord = take_count(walk.in);
  // Every record takes at least its head: a count the rest cannot hold fails before any walk.
  const std::size_t record_head = walk.header_form ? kRecordHeadSize : kHeaderlessRecordHeadSize;
  if (!has(walk.in, std::uint64_t{nrecord} * record_head)) return TableOutcome::kMismatched;

  if (!make_room(walk.out, kRecords.text.size() + kMaxDigits<std::uint32_t>)) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kRecords.piece(0));
  at = put_number(at, nrecord);
  walk.out.at = put(at, kRecords.piece(1));

  const std::uint64_t total = nrecord;
  for (std::uint64_t number = 1; number <= total; ++number) {
    if (const TableOutcome outcome = write_record(walk); outcome != kGoOn) return outcome;
    print_progress(walk.table_name, walk.overwrite, number, &total);
  }
  return write_text(walk.out, kTail) ? kGoOn : TableOutcome::kUnwritable;
}

// ---- Files --------------------------------------------------------------------------------------

bool is_table_name(std::string_view path) {
  if (path.size() <= kTableExtension.size()) return false;
  const std::string_view extension = path.substr(path.size() - kTableExtension.size());
  return std::ranges::equal(extension, kTableExtension, [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

// The base name with the extension's three letters replaced: "data/PHONE.TBL" gives "PHONE.tblx".
std::string document_name_for(std::string_view path) {
  const std::size_t separator = path.find_last_of("/\\");
  std::string name(path.substr(separator == std::string_view::npos ? 0 : separator + 1));
  name.resize(name.size() - (kTableExtension.size() - 1));
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
  constexpr int kYearBase = 1900;
  head.year = date.tm_year + kYearBase;
  head.month = date.tm_mon + 1;
  head.day = date.tm_mday;
  head.hour = date.tm_hour;
  head.minute = date.tm_min;
  head.second = date.tm_sec;
  return head;
}

TableOutcome walk_table(std::span<const std::uint8_t> table, const DocumentHead& head,
                        Window& window) {
  if (!write_head(window, head)) return TableOutcome::kUnwritable;
  TableWalk walk{.in = {table}, .out = window};
  for (auto step : {read_file_header, write_schema, write_groups, write_records}) {
    if (const TableOutcome outcome = step(walk); outcome != kGoOn) return outcome;
  }
  return walk.in.at == table.size() ? TableOutcome::kComplete : TableOutcome::kMismatched;
}

}  // namespace

TableOutcome write_table_document(std::span<const std::uint8_t> table, const DocumentHead& head,
                                  OutputFile& out) {
  Window window{.out = out};
  const TableOutcome outcome = walk_table(table, head, window);
  close_window(window);
  return outcome;
}

int convert_tbl_to_tblx(const char* path) {
  if (path == nullptr) return 1;
  if (!is_table_name(path)) return 0;
  Bytes input;
  if (load_whole_file(path, input) != 0) {
    std::printf(kMessageCannotRead, path);
    return 1;
  }
  const std::string document_name = document_name_for(path);
  OutputFile out;
  if (output_open(out, document_name.c_str()) != 0) {
    std::printf(kMessageCannotWrite, document_name.c_str());
    return 1;
  }
  std::printf(kMessageConverting, path, document_name.c_str());

  const TableOutcome outcome =
      write_table_document(input.span(), head_now(document_name, path), out);
  end_progress();
  if (outcome == TableOutcome::kComplete && output_commit(out) == 0) {
    std::fputs("\n", stdout);
    return 0;
  }
  output_discard(out);
  switch (outcome) {
    case TableOutcome::kMismatched:
      std::fputs(kMessageMismatch, stdout);
      break;
    case TableOutcome::kDamaged:
      std::printf(kMessageDamaged, path);
      break;
    case TableOutcome::kComplete:
    case TableOutcome::kUnwritable:
      std::printf(kMessageCannotWrite, document_name.c_str());
      break;
  }
  return 1;
}

}  // namespace tbl2tblx
