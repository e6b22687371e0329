// A .tbl file into a .tblx document: one forward walk over the file through a window that
// refills, rendering the document straight into the output writer's buffer (render.hpp) as the
// walk goes, in the order the document holds it: the header, the table with its schema and
// groups, the records and their values.
#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "base64/base64.hpp"
#include "convert/calendar.hpp"
#include "convert/console.hpp"
#include "convert/convert.hpp"
#include "convert/digits.hpp"
#include "convert/file_names.hpp"
#include "convert/messages.hpp"
#include "convert/render.hpp"
#include "convert/report.hpp"
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

// ---- Document header ----------------------------------------------------------------------------

int write_head(Window& window, const DocumentHead& head) {
  constexpr std::size_t kRoom = kHead.text.size() + kXmlVersion.size() + kXmlEncoding.size() +
                                kDocumentVersion.size() + kAuthorLead.size() +
                                kAuthorCredit.size() + kAuthorSeparator.size() + kWebAddress.size();
  if (make_room(window, kRoom) != 0) return 1;
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
  if (write_escaped(window, text_bytes(head.document_name)) != 0) return 1;
  if (write_text(window, kHead.after("document")) != 0) return 1;
  if (write_text(window, kHeaderEnd.before("source")) != 0) return 1;
  if (write_escaped(window, text_bytes(head.source_name)) != 0) return 1;

  const std::array<int, 6> fields = {head.year, head.month,  head.day,
                                     head.hour, head.minute, head.second};
  constexpr std::array<std::string_view, 6> kAfterFields = {
      kHeaderEnd.after("year"), kHeaderEnd.after("month"),  kHeaderEnd.after("day"),
      kHeaderEnd.after("hour"), kHeaderEnd.after("minute"), kHeaderEnd.after("second")};
  if (make_room(window, kHeaderEnd.text.size() + fields.size() * kMaxDigits<int>) != 0) return 1;
  constexpr std::size_t kYearWidth = 4;
  constexpr std::size_t kFieldWidth = 2;
  at = put(window.at, kHeaderEnd.before("year"));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    at = put_padded(at, fields[i], i == 0 ? kYearWidth : kFieldWidth);
    at = put(at, kAfterFields[i]);
  }
  advance_to(window, at);
  return 0;
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
  std::vector<std::string> group_names{};  // as stored, to refuse a name that repeats
  // The records take at least their heads: until the source is known to reach that far, the
  // count may be false, and no progress line is shown (a source of known size is checked at
  // once). Records walked meanwhile get their lines once it is known.
  std::uint64_t records_reach = 0;  // the offset the records' heads alone reach
  std::uint64_t progress_shown = 0;
};

TableOutcome read_file_header(TableWalk& walk) {
  if (input_need(walk.in, 1) != 0) return missing(walk.in);
  walk.header_form = walk.in.at[0] == 0;
  if (!walk.header_form) return TableOutcome::kComplete;
  if (input_need(walk.in, kFileHeaderSize) != 0) return missing(walk.in);
  walk.overwrite = take(walk.in, kFileHeaderSize)[kHeaderWriteModeOffset] != kAppend;
  return TableOutcome::kComplete;
}

int write_field_info(Window& out, const std::uint8_t* info) {
  const std::uint8_t id = info[kFieldInfoIdOffset];
  const std::string_view name = stored_name(info + kFieldInfoNameOffset, kNameFieldWidth);
  const std::uint8_t type = info[kFieldInfoTypeOffset];
  if (make_room(out, kFieldInfo.text.size() + kByteTextWidth + kMaxEscapedName + kMaxTypeName) !=
      0) {
    return 1;
  }
  char* at = put(out.at, kFieldInfo.before("id"));
  at = put_byte_value(at, id);
  at = put(at, kFieldInfo.before("name"));
  at = put_name(at, name);
  at = put(at, kFieldInfo.before("type"));
  at = put(at, type_name(type));
  advance_to(out, put(at, kFieldInfo.after("type")));
  return 0;
}

// A schema a pipe holds in the window up to this size; past it, the field infos wait on disk.
constexpr std::uint64_t kSchemaHeldMax = std::uint64_t{8} << 20;

// The skeyid follows the field infos but is shown before them. A file is looked at by position
// and read once; from a pipe, a schema up to kSchemaHeldMax is held in the window, and a larger
// one is first taken into `spool`, whence `infos` then reads the field infos. So memory stays
// small whatever the count says, and a true schema of any size is carried. A device (one that
// may never end, as /dev/urandom) is not taken to disk: a larger schema from it is unreadable.
TableOutcome find_skeyid(TableWalk& walk, std::uint64_t schema_size, InputWindow& spool,
                         InputWindow*& infos, std::uint8_t& skeyid) {
  InputWindow& in = walk.in;
  infos = &in;
  if (input_known_short(in, schema_size)) return TableOutcome::kMismatched;
  if (input_can_peek(in)) {
    return input_peek(in, schema_size - 1, skeyid) == 0 ? TableOutcome::kComplete
                                                        : TableOutcome::kUnreadable;
  }
  if (schema_size <= kSchemaHeldMax) {
    if (input_need(in, static_cast<std::size_t>(schema_size)) != 0) return missing(in);
    skeyid = in.at[schema_size - 1];
    return TableOutcome::kComplete;
  }
  if (in.device) return TableOutcome::kUnreadable;
  if (input_spool(in, schema_size - 1, spool) != 0 || input_need(in, 1) != 0) {
    return in.ended && !in.failed ? TableOutcome::kMismatched : TableOutcome::kUnreadable;
  }
  infos = &spool;
  skeyid = *in.at;
  return TableOutcome::kComplete;
}

TableOutcome write_schema_head(TableWalk& walk, std::uint32_t ninfo, std::uint8_t skeyid) {
  const std::string_view write = walk.overwrite ? kWriteOverwrite : kWriteAppend;
  const std::string_view name = walk.table_name;
  if (make_room(walk.out, kTable.text.size() + kWriteOverwrite.size() + kMaxEscapedName +
                              kMaxDigits<std::uint32_t> + kSkeyid.text.size() + kByteTextWidth) !=
      0) {
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
    at = put_byte_value(at, skeyid);
    at = put(at, kSkeyid.after("skeyid"));
  }
  advance_to(walk.out, at);
  return TableOutcome::kComplete;
}

TableOutcome write_schema(TableWalk& walk) {
  if (input_need(walk.in, kTableNameWidth + kCountWidth) != 0) return missing(walk.in);
  walk.table_name = stored_name(take(walk.in, kTableNameWidth), kTableNameWidth);
  const std::uint32_t ninfo = take_count(walk.in);
  const std::uint64_t schema_size = std::uint64_t{ninfo} * kFieldInfoSize + 1;
  InputWindow spool;
  InputWindow* infos = nullptr;
  std::uint8_t skeyid = kNone;
  TableOutcome outcome = find_skeyid(walk, schema_size, spool, infos, skeyid);
  if (outcome == TableOutcome::kComplete) outcome = write_schema_head(walk, ninfo, skeyid);
  if (outcome != TableOutcome::kComplete) return outcome;

  for (std::uint32_t i = 0; i < ninfo; ++i) {
    if (input_need(*infos, kFieldInfoSize) != 0) return missing(*infos);
    if (write_field_info(walk.out, take(*infos, kFieldInfoSize)) != 0)
      return TableOutcome::kUnwritable;
  }
  if (input_need(walk.in, 1) != 0) return missing(walk.in);
  take(walk.in, 1);  // skeyid, already shown
  return write_text(walk.out, kSchemaEnd) == 0 ? TableOutcome::kComplete
                                               : TableOutcome::kUnwritable;
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
  if (input_need(walk.in, 1) != 0) return missing(walk.in);
  const std::uint8_t ngroup = *take(walk.in, 1);
  if (ngroup == 0) return TableOutcome::kComplete;
  if (input_known_short(walk.in, std::uint64_t{ngroup} * kNameFieldWidth)) {
    return TableOutcome::kMismatched;
  }

  if (make_room(walk.out, kGroups.text.size() + kByteTextWidth) != 0) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kGroups.before("ngroup"));
  at = put_byte_value(at, ngroup);
  advance_to(walk.out, put(at, kGroups.after("ngroup")));

  walk.group_lines.reserve(ngroup);
  bool repeated = false;
  for (std::size_t i = 0; i < ngroup; ++i) {
    if (input_need(walk.in, kNameFieldWidth) != 0) return missing(walk.in);
    const std::string_view name = stored_name(take(walk.in, kNameFieldWidth), kNameFieldWidth);
    // A document names a record's group by its name: repeated names cannot be carried. The
    // table is damaged once its groups are all there (a table cut short is reported as such).
    repeated = repeated || std::find(walk.group_names.begin(), walk.group_names.end(), name) !=
                               walk.group_names.end();
    walk.group_names.emplace_back(name);
    if (make_room(walk.out, kGroup.text.size() + kMaxEscapedName) != 0) {
      return TableOutcome::kUnwritable;
    }
    at = put(walk.out.at, kGroup.before("group"));
    at = put_name(at, name);
    advance_to(walk.out, put(at, kGroup.after("group")));
    walk.group_lines.push_back(render_group_line(name));
  }
  if (repeated) return TableOutcome::kDamaged;
  return write_text(walk.out, kGroupsEnd) == 0 ? TableOutcome::kComplete
                                               : TableOutcome::kUnwritable;
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
  at = put_byte_value(at, id);
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
    if (make_room(walk.out, kEscapeShortRoom) != 0) return TableOutcome::kUnwritable;
    advance_to(walk.out, walk.out.at + escape_short_content(take(in, length), length, walk.out.at));
    return TableOutcome::kComplete;
  }
  std::uint64_t left = length;
  bool stopped = false;  // at a zero byte
  while (left > 0) {
    const bool lone_cr = input_available(in) == 1 && left > 1 && *in.at == '\r';
    if ((in.at == in.end || lone_cr) && input_need(in, lone_cr ? 2 : 1) != 0) return missing(in);
    std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, input_available(in)));
    if (!stopped) {
      if (piece < left && in.at[piece - 1] == '\r') --piece;
      std::size_t consumed = 0;
      if (write_escaped(walk.out, {in.at, piece}, &consumed) != 0) return TableOutcome::kUnwritable;
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
    if (make_room(walk.out, kBase64ShortRoom) != 0) return TableOutcome::kUnwritable;
    advance_to(walk.out, walk.out.at + base64_encode_short(take(in, length), length, walk.out.at));
    return TableOutcome::kComplete;
  }
  std::uint64_t left = length;
  constexpr std::size_t kGroup3 = 3;
  while (left > 0) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, kGroup3));
    if (input_need(in, wanted) != 0) return missing(in);
    std::size_t piece = static_cast<std::size_t>(
        std::min<std::uint64_t>({left, input_available(in), kBase64Piece}));
    if (piece < left) piece -= piece % kGroup3;
    if (write_base64_piece(walk.out, {in.at, piece}) != 0) return TableOutcome::kUnwritable;
    in.at += piece;
    left -= piece;
  }
  return TableOutcome::kComplete;
}

// An int2/int4 entry whose length is another: damaged, once the source is known to hold it.
TableOutcome wrong_int_length(TableWalk& walk, std::uint32_t length) {
  if (input_known_short(walk.in, length)) return TableOutcome::kMismatched;
  if (walk.in.size == InputWindow::kUnknownSize && input_skip(walk.in, length) != 0) {
    return missing(walk.in);
  }
  return TableOutcome::kDamaged;
}

TableOutcome write_entry(TableWalk& walk) {
  InputWindow& in = walk.in;
  if (input_need(in, kFieldDataHeadSize) != 0) return missing(in);
  const std::uint8_t* head = take(in, kFieldDataHeadSize);
  const std::uint8_t id = head[kFieldDataIdOffset];
  const std::uint8_t type = head[kFieldDataTypeOffset];
  const std::uint32_t length = read_little_endian<std::uint32_t>(head + kFieldDataLengthOffset);
  const bool is_int = type == kInt2 || type == kInt4;
  if (is_int && length != (type == kInt2 ? kInt2Size : kInt4Size)) {
    return wrong_int_length(walk, length);
  }
  if (input_known_short(in, length)) return TableOutcome::kMismatched;
  if (is_int && input_need(in, length) != 0) return missing(in);
  // The room of an entry holds an int value and the entry's end too.
  if (make_room(walk.out, kEntryRoom) != 0) return TableOutcome::kUnwritable;
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
  return write_text(walk.out, kFieldDataEnd) == 0 ? TableOutcome::kComplete
                                                  : TableOutcome::kUnwritable;
}

TableOutcome write_record(TableWalk& walk) {
  const std::size_t head_size = walk.header_form ? kRecordHeadSize : kHeaderlessRecordHeadSize;
  if (input_need(walk.in, head_size) != 0) return missing(walk.in);
  const std::uint8_t* head = take(walk.in, head_size);
  const std::uint8_t group = walk.header_form ? head[kRecordGroupOffset] : kNone;
  const std::uint8_t ndata = head[head_size - 1];
  if (group != kNone && group >= walk.group_lines.size()) return TableOutcome::kDamaged;

  const std::string_view group_line =
      group == kNone ? std::string_view{""} : std::string_view{walk.group_lines[group]};
  if (make_room(walk.out, kRecord.text.size() + kByteTextWidth + group_line.size()) != 0) {
    return TableOutcome::kUnwritable;
  }
  char* at = put(walk.out.at, kRecord.before("ndata"));
  at = put_byte_value(at, ndata);
  at = put(at, kRecord.after("ndata"));
  if (!group_line.empty()) at = put(at, group_line);
  advance_to(walk.out, at);

  for (std::size_t i = 0; i < ndata; ++i) {
    if (const TableOutcome outcome = write_entry(walk); outcome != TableOutcome::kComplete) {
      return outcome;
    }
  }
  return write_text(walk.out, kRecordEnd) == 0 ? TableOutcome::kComplete
                                               : TableOutcome::kUnwritable;
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
      input_skip(walk.in, walk.records_reach - input_offset(walk.in)) != 0) {
    return missing(walk.in);
  }
  if (outcome != TableOutcome::kUnreadable) show_progress(walk, walked, total);
  return outcome;
}

TableOutcome write_records(TableWalk& walk) {
  if (input_need(walk.in, kCountWidth) != 0) return missing(walk.in);
  const std::uint32_t nrecord = take_count(walk.in);
  // Every record takes at least its head: a count the rest cannot hold fails before any walk.
  const std::size_t record_head = walk.header_form ? kRecordHeadSize : kHeaderlessRecordHeadSize;
  const std::uint64_t heads = std::uint64_t{nrecord} * record_head;
  if (input_known_short(walk.in, heads)) return TableOutcome::kMismatched;
  walk.records_reach =
      walk.in.size != InputWindow::kUnknownSize ? 0 : input_offset(walk.in) + heads;

  if (make_room(walk.out, kRecords.text.size() + kMaxDigits<std::uint32_t>) != 0) {
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
  return write_text(walk.out, kTail) == 0 ? TableOutcome::kComplete : TableOutcome::kUnwritable;
}

// ---- The whole document -----------------------------------------------------------------------

TableOutcome walk_table(InputWindow& table, const DocumentHead& head, Window& window,
                        Console& console) {
  if (write_head(window, head) != 0) return TableOutcome::kUnwritable;
  TableWalk walk{.in = table, .out = window, .console = console};
  for (auto step : {read_file_header, write_schema, write_groups, write_records}) {
    if (const TableOutcome outcome = step(walk); outcome != TableOutcome::kComplete) return outcome;
  }
  // Bytes after the records: the table does not end where its contents do.
  if (input_need(table, 1) == 0) return TableOutcome::kMismatched;
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
  // The first read comes before anything is created, as a failure to read is reported first.
  InputWindow input;
  Console& console = run.console;
  if (input_window_open(input, path, run.window) != 0 ||
      (input_need(input, 1) != 0 && input.failed)) {
    say(console, kMessageCannotRead, path);
    return 1;
  }
  const std::string document_name = document_name_for(path);
  const std::string document_path = output_path(run, document_name);
  OutputFile out;
  if (was_written(run.written, document_path.c_str()) ||
      output_open(out, document_path.c_str()) != 0) {
    say(console, kMessageCannotWrite, document_name.c_str());
    return 1;
  }
  say(console, kMessageConverting, path, document_name.c_str());

  const CalendarTime date = document_date();
  const DocumentHead head{document_name, path,      date.year,   date.month,
                          date.day,      date.hour, date.minute, date.second};
  const TableOutcome outcome = write_table_document(input, head, out, run);
  const bool committed = outcome == TableOutcome::kComplete && output_commit(out) == 0;
  if (!committed) output_discard(out);
  if (committed) remember_written(run.written, out);
  return report_table(console, path, document_name.c_str(), outcome, committed);
}

}  // namespace tbl2tblx
