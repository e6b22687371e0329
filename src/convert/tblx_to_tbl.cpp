// A .tblx document into one .tbl file per table, in one forward pass through a small window: the
// grammar of the document, from the declaration to the last value, in the order the document
// holds it. The walk it reads with is in reader.hpp (and as_written.hpp for the elements read
// straight from the window), the texts in element_text.cpp, the files in table_file.cpp.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "base64/base64.hpp"
#include "convert/as_written.hpp"
#include "convert/console.hpp"
#include "convert/convert.hpp"
#include "convert/element_text.hpp"
#include "convert/file_names.hpp"
#include "convert/messages.hpp"
#include "convert/reader.hpp"
#include "convert/report.hpp"
#include "convert/table_file.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

// ---- The header -------------------------------------------------------------------------------

bool names_utf8(const Value& encoding) {
  return std::any_of(kUtf8Names.begin(), kUtf8Names.end(),
                     [&encoding](std::string_view name) { return short_text_is(encoding, name); });
}

// The declaration is optional. Without one, or without an encoding in it, the document is
// UTF-8; any other declared encoding is read byte for byte, unless the document is in UTF-16,
// which stands in the window as UTF-8 whatever the declaration says.
int read_declaration(Reader& r) {
  if (open_text(r) != 0 || scan(r) != 0) return 1;
  r.utf8 = true;
  if (!is(r, "?xml")) return 0;
  r.utf8 = false;  // an encoding's name is ASCII
  bool declared = false;
  Value encoding;
  if (read_attribute(r, kAttrEncoding, declared, encoding) != 0) return 1;
  r.utf8 = !declared || r.in.utf16 || names_utf8(encoding);
  return scan(r);
}

// The header must hold the version; anything else in it is passed over.
int read_header(Reader& r) {
  if (read_declaration(r) != 0 || require(r, "tblx") != 0 || expect(r, "header") != 0) return 1;
  bool has_version = false;
  for (;;) {
    if (scan(r, TextOf{"version"}) != 0) return 1;
    if (is(r, "/header")) break;
    if (!is(r, "version")) continue;
    if (read_version(r) != 0 || expect(r, "/version") != 0) return 1;
    has_version = true;
  }
  if (!has_version) return parse_error(r);
  return expect(r, "tables");
}

// ---- The schema and the groups ------------------------------------------------------------------

int write_file_head(TableFile& t) {
  std::array<std::uint8_t, kFileHeaderSize> header = kFileHeaderTemplate;
  header[kHeaderWriteModeOffset] = t.overwrite ? kOverwrite : kAppend;
  if (append(t, header, "header") != 0) return 1;
  return append(t, {reinterpret_cast<const std::uint8_t*>(t.name.data()), kTableNameWidth},
                "table name");
}

int read_fieldinfo(Reader& r, TableFile& t) {
  std::array<std::uint8_t, kFieldInfoSize> info{};
  Name name;
  if (expect_text(r, "id") != 0 || read_byte(r, info[kFieldInfoIdOffset]) != 0) return 1;
  if (expect(r, "/id") != 0 || expect_text(r, "name") != 0 || read_name(r, name) != 0) return 1;
  std::memcpy(&info[kFieldInfoNameOffset], name.data(), kNameFieldWidth);
  if (expect(r, "/name") != 0 || expect_text(r, "type") != 0) return 1;
  if (read_type(r, info[kFieldInfoTypeOffset]) != 0) return 1;
  if (expect(r, "/type") != 0 || expect(r, "/fieldinfo") != 0 || scan(r) != 0) return 1;
  return append(t, info, "fieldinfo");
}

// The skeyid precedes the field infos in the document and follows them in the file.
int read_schema(Reader& r, TableFile& t) {
  if (expect(r, "schema") != 0 || scan(r, TextOf{"skeyid"}) != 0) return 1;
  std::uint8_t skeyid = kNone;
  if (is(r, "skeyid")) {
    if (read_byte(r, skeyid) != 0 || expect(r, "/skeyid") != 0 || scan(r) != 0) return 1;
  }
  const std::uint64_t ninfo_at = output_position(t.file);
  if (append(t, little_endian_bytes<kCountWidth>(0), "ninfo") != 0) return 1;
  std::uint32_t ninfo = 0;
  for (; is(r, "fieldinfo"); ++ninfo) {
    if (read_fieldinfo(r, t) != 0) return 1;
  }
  if (require(r, "/schema") != 0) return 1;
  if (patch_item(t, ninfo_at, little_endian_bytes<kCountWidth>(ninfo), "ninfo") != 0) return 1;
  return append_byte(t, skeyid, "skeyid");
}

// Whether one of the groups read so far has `name`, as a record would name it.
bool names_a_group(const TableFile& t, const Name& name) {
  const std::string_view wanted(name.data());
  return std::any_of(t.groups.begin(), t.groups.begin() + static_cast<std::ptrdiff_t>(t.ngroup),
                     [&](const Name& group) { return std::string_view(group.data()) == wanted; });
}

int read_groups(Reader& r, TableFile& t) {
  const std::uint64_t ngroup_at = output_position(t.file);
  if (append_byte(t, 0, "ngroup") != 0) return 1;
  if (!is(r, "groups")) return 0;
  if (scan(r, TextOf{"group"}) != 0) return 1;
  while (is(r, "group")) {
    if (t.ngroup == kMaxGroups) return parse_error(r);
    Name& name = t.groups[t.ngroup];
    if (read_name(r, name) != 0) return 1;
    // A record names its group by name: a second group of the same name could hold none.
    if (names_a_group(t, name)) return parse_error(r);
    if (expect(r, "/group") != 0 || scan(r, TextOf{"group"}) != 0) return 1;
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
    if (append(t, bytes, "group") != 0) return 1;
    ++t.ngroup;
  }
  if (require(r, "/groups") != 0) return 1;
  const std::uint8_t ngroup = static_cast<std::uint8_t>(t.ngroup);
  if (patch_item(t, ngroup_at, {&ngroup, 1}, "ngroup") != 0) return 1;
  return scan(r);
}

// A group reference of the records or of one record, up to the tag after its end tag.
int read_group_reference(Reader& r, const TableFile& t, std::uint8_t& group) {
  if (read_group(r, {t.groups.data(), t.ngroup}, group) != 0) return 1;
  return expect(r, "/group") != 0 || scan(r) != 0 ? 1 : 0;
}

// ---- Values -------------------------------------------------------------------------------------

// After a value's end tags: a next value, or the record's end.
constexpr Likely kAfterFielddata{"fielddata", "/record"};

// The end tags after a value's text.
int close_fielddata(Reader& r) {
  if (!take_fielddata_end(r) && (expect(r, "/content") != 0 || expect(r, "/fielddata") != 0)) {
    return 1;
  }
  return scan(r, kAfterFielddata);
}

using FieldDataHead = std::array<std::uint8_t, kFieldDataHeadSize>;

// An int2 or int4 value: its head and bytes are written once the element is read.
int read_number_fielddata(Reader& r, TableFile& t, FieldDataHead& head) {
  std::array<std::uint8_t, kInt4Size> number{};
  const bool int2 = head[kFieldDataTypeOffset] == kInt2;
  if (int2 ? take_number_content<std::int16_t>(r, number)
           : take_number_content<std::int32_t>(r, number)) {
    if (scan(r, kAfterFielddata) != 0) return 1;
  } else {
    if ((int2 ? read_value<std::int16_t>(r, number) : read_value<std::int32_t>(r, number)) != 0)
      return 1;
    if (close_fielddata(r) != 0) return 1;
  }
  const std::size_t size = int2 ? kInt2Size : kInt4Size;
  const auto length = little_endian_bytes<kCountWidth>(static_cast<std::uint32_t>(size));
  std::memcpy(&head[kFieldDataLengthOffset], length.data(), kCountWidth);
  if (append(t, head, "fielddata") != 0) return 1;
  return append(t, {number.data(), size}, "fielddata");
}

// A blob's content tag must say that its text is base64.
int read_base64_encoding(Reader& r) {
  bool present = false;
  Value encoding;
  if (read_attribute(r, kAttrEncoding, present, encoding) != 0) return 1;
  return present && short_text_is(encoding, kEncodingBase64) ? 0 : parse_error(r);
}

// A string or blob value streams into the output behind its head as it is decoded; the length
// in the head is filled in once the element is read, and so is any write failure reported.
// `b64_as_written`: the content tag was read as the tool writes it, which has the attribute.
int read_streamed_fielddata(Reader& r, TableFile& t, const FieldDataHead& head,
                            bool b64_as_written) {
  const bool is_string = head[kFieldDataTypeOffset] == kString;
  if (!is_string && !b64_as_written && read_base64_encoding(r) != 0) return 1;
  const std::uint64_t head_at = output_position(t.file);
  (void)output_write(t.file, head);  // a failure is sticky: reported once the element is read
  Value v;
  v.sink = is_string ? Sink::kString : Sink::kBlob;
  v.out = &t.file;
  if (read_text(r, v) != 0) return 1;
  if (!is_string) {
    if (!base64_form_exact(v.form)) return parse_error(r);
    std::uint8_t last = 0;
    (void)output_write(t.file, {&last, base64_decode_finish(v.base64, &last)});
  }
  if (close_fielddata(r) != 0) return 1;
  constexpr std::uint8_t kStringEnd = 0;  // a string value ends with a zero byte
  if (is_string) (void)output_write(t.file, {&kStringEnd, 1});
  if (t.file.failed) return file_error(t, DocumentStop::kWrite, "fielddata");
  const std::uint64_t length = output_position(t.file) - head_at - kFieldDataHeadSize;
  return patch_item(t, head_at + kFieldDataLengthOffset,
                    little_endian_bytes<kCountWidth>(static_cast<std::uint32_t>(length)),
                    "fielddata");
}

int read_fielddata(Reader& r, TableFile& t) {
  FieldDataHead head{};
  std::uint8_t& type = head[kFieldDataTypeOffset];
  if (!take_id_and_type(r, head[kFieldDataIdOffset], type)) {
    if (expect_text(r, "id") != 0 || read_byte(r, head[kFieldDataIdOffset]) != 0) return 1;
    if (expect(r, "/id") != 0 || expect_text(r, "type") != 0 || read_type(r, type) != 0) return 1;
    if (expect(r, "/type") != 0) return 1;
  }
  const bool blob_as_written = type == kBlob && take_start_tag(r, "<content encoding=\"b64\">");
  if (!blob_as_written && expect_text(r, "content") != 0) return 1;
  if (type == kInt2 || type == kInt4) return read_number_fielddata(r, t, head);
  return read_streamed_fielddata(r, t, head, blob_as_written);
}

// ---- Records ------------------------------------------------------------------------------------

int read_record(Reader& r, TableFile& t) {
  std::uint8_t group = t.default_group;
  if (scan(r, TextOf{"group"}, Likely{"fielddata"}) != 0) return 1;
  if (is(r, "secret")) {
    say(r.run.console, kMessageSecret, static_cast<unsigned>(t.nrecord));
    if (expect(r, "/secret") != 0 || scan(r, TextOf{"group"}) != 0) return 1;
  }
  if (is(r, "group") && read_group_reference(r, t, group) != 0) return 1;
  if (append_byte(t, group, "group") != 0) return 1;
  const std::uint64_t ndata_at = output_position(t.file);
  if (append_byte(t, 0, "ndata") != 0) return 1;
  std::size_t ndata = 0;
  for (; is(r, "fielddata"); ++ndata) {
    if (ndata == kMaxFieldData) return parse_error(r);
    if (read_fielddata(r, t) != 0) return 1;
  }
  if (require(r, "/record") != 0 || (!take_record_start(r) && scan(r) != 0)) return 1;
  const std::uint8_t count = static_cast<std::uint8_t>(ndata);
  if (patch_item(t, ndata_at, {&count, 1}, "ndata") != 0) return 1;
  ++t.nrecord;
  show_progress(r.run.console, t.name.data(), t.overwrite, t.nrecord, nullptr);
  return 0;
}

int read_records(Reader& r, TableFile& t) {
  if (require(r, "records") != 0 || scan(r, TextOf{"group"}) != 0) return 1;
  if (is(r, "group") && read_group_reference(r, t, t.default_group) != 0) return 1;
  const std::uint64_t nrecord_at = output_position(t.file);
  if (append(t, little_endian_bytes<kCountWidth>(0), "nrecord") != 0) return 1;
  while (is(r, "record")) {
    if (read_record(r, t) != 0) return 1;
  }
  if (require(r, "/records") != 0) return 1;
  return patch_item(t, nrecord_at, little_endian_bytes<kCountWidth>(t.nrecord), "nrecord");
}

// ---- Tables -------------------------------------------------------------------------------------

// The table tag's write mode: append unless it says overwrite; any other value is refused.
int read_write_mode(Reader& r, bool& overwrite) {
  bool present = false;
  Value mode;
  if (read_attribute(r, kAttrWrite, present, mode) != 0) return 1;
  overwrite = present && short_text_is(mode, kWriteOverwrite);
  return !present || overwrite || short_text_is(mode, kWriteAppend) ? 0 : parse_error(r);
}

// From the table start tag, already scanned, to its end tag; the file is kept only then.
int read_table(Reader& r) {
  TableFile t(r.outcome);
  if (read_write_mode(r, t.overwrite) != 0) return 1;
  if (expect_text(r, "name") != 0 || read_name(r, t.name) != 0) return 1;
  if (open_table_file(t, r.run) != 0) return 1;
  if (expect(r, "/name") != 0) return 1;
  say(r.run.console, kMessageWritingTable, t.output_name.c_str());
  if (write_file_head(t) != 0 || read_schema(r, t) != 0 || scan(r) != 0) return 1;
  if (read_groups(r, t) != 0 || read_records(r, t) != 0 || expect(r, "/table") != 0) return 1;
  if (output_commit(t.file) != 0) return file_error(t, DocumentStop::kFile, nullptr);
  remember_written(r.run.written, t.file);
  say(r.run.console, kMessageDone);
  return 0;
}

int read_tables(Reader& r) {
  if (read_header(r) != 0) return 1;
  bool any_table = false;
  for (;;) {
    if (scan(r) != 0) return 1;
    if (is(r, "/tables")) break;
    if (require(r, "table") != 0 || read_table(r) != 0) return 1;
    any_table = true;
  }
  if (!any_table) return parse_error(r);
  return expect(r, "/tblx");
}

}  // namespace

DocumentOutcome read_document(InputWindow& document, RunContext& run) {
  Reader r(document, run);
  if (read_tables(r) != 0 && r.in.failed) r.outcome.stop = DocumentStop::kRead;
  return r.outcome;
}

int convert_tblx_to_tbl(const char* path, RunContext& run) {
  if (path == nullptr) return 1;
  InputWindow in;
  if (input_window_open(in, path, run.window) != 0) {
    say(run.console, kMessageCannotRead, path);
    return 1;
  }
  say(run.console, kMessageReading, path);
  return report_document(run.console, path, read_document(in, run));
}

}  // namespace tbl2tblx
