// Reads a .tblx document in one forward pass, tag by tag, and writes one .tbl file per table.
// Element texts are converted where they stand in the loaded document (numbers parsed, strings
// unescaped and blobs decoded in place), so no value is copied or allocated on its way to the
// output file.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <span>
#include <string_view>
#include <thread>

#include "base64/base64.hpp"
#include "convert/convert.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

constexpr std::string_view kDocumentExtension = ".tblx";
constexpr std::string_view kBinaryExtension = ".tbl";
constexpr const char* kFallbackNameFormat = "%04d%02d%02d%02d%02d%02d.tbl";
// A table name and ".tbl", or the fallback name with room for any value of the time fields.
constexpr std::size_t kOutputNameSize = 80;

// The document walk: the loaded text, written to only inside element texts, and the last scan.
struct Reader {
  char* text = nullptr;
  const char* content = nullptr;  // after the '>' of the last tag
  const char* next = nullptr;     // the '<' of the tag to scan next
  char tag[kTagBufferSize] = {};
};

using Name = std::array<char, kNameFieldWidth>;  // at most 20 characters and a zero

// One table's output and what its records refer to.
struct Table {
  OutputFile file;
  char output_name[kOutputNameSize] = {};
  Name name = {};
  bool overwrite = false;
  std::array<Name, kMaxGroups> groups = {};
  std::size_t ngroup = 0;
  std::uint8_t default_group = kNone;
  std::uint32_t nrecord = 0;
};

// ---- Messages ----------------------------------------------------------------------------------

int parse_error(const Reader& r) {
  end_progress();
  std::printf("Error: %s at line %d\n", r.tag, static_cast<int>(current_line));
  return 1;
}

int write_error(const Table& t, const char* item) {
  end_progress();
  std::printf("%s: Cannot write the %s\n", t.output_name, item);
  return 1;
}

// ---- Scanning ----------------------------------------------------------------------------------

bool is_closing_root(const char* tag) {
  return tag_is(tag, "/tblx") == 0;
}

// Takes the next tag. The document must go on after every tag but the closing root tag.
int scan(Reader& r) {
  if (next_tag(r.next, r.tag, &r.content, &r.next) != 0) return parse_error(r);
  if (r.next == nullptr && !is_closing_root(r.tag)) return parse_error(r);
  return 0;
}

int require(const Reader& r, const char* name) {
  return tag_is(r.tag, name) == 0 ? 0 : parse_error(r);
}

int expect(Reader& r, const char* name) {
  if (scan(r) != 0) return 1;
  return require(r, name);
}

bool is(const Reader& r, const char* name) {
  return tag_is(r.tag, name) == 0;
}

// The element text after the last tag, up to the next '<': writable, as it lies in the document.
std::span<char> element_text(const Reader& r) {
  char* start = r.text + (r.content - r.text);
  return {start, static_cast<std::size_t>(r.next - r.content)};
}

std::string_view text_view(std::span<const char> text) {
  return {text.data(), text.size()};
}

bool tag_has(const Reader& r, std::string_view attribute) {
  return std::string_view(r.tag).find(attribute) != std::string_view::npos;
}

// ---- Element texts -----------------------------------------------------------------------------

bool is_blank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Leading white space, an optional sign, then digits up to the first other character; no
// digits is 0. Kept modulo 2^32, so the low bits of any value are exact.
std::uint32_t leading_integer(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
  }
  return negative ? 0u - value : value;
}

std::uint8_t low_byte(std::uint32_t value) {
  return static_cast<std::uint8_t>(value & 0xFFu);
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

int read_type(const Reader& r, std::uint8_t& code) {
  std::string_view text = text_view(element_text(r));
  for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
    if (equals_ignoring_case(text, kTypeNames[i])) {
      code = static_cast<std::uint8_t>(i);
      return 0;
    }
  }
  return parse_error(r);
}

// A table, field or group name into a zero-filled field; longer than 20 characters is refused
// at the element's start tag rather than cut.
int read_name(const Reader& r, Name& name) {
  char scratch[kMaxEscapedNameChars + 1] = {};
  std::size_t length = unescape_name(text_view(element_text(r)), scratch, kMaxEscapedNameChars);
  if (length > kMaxNameChars) return parse_error(r);
  name = {};
  std::memcpy(name.data(), scratch, length);
  return 0;
}

// The number of the group the element text names, or kNone.
std::uint8_t find_group(const Reader& r, const Table& t) {
  name_buffer[0] = '\0';
  unescape_name(text_view(element_text(r)), name_buffer, kMaxEscapedNameChars);
  for (std::size_t i = 0; i < t.ngroup; ++i) {
    if (std::strcmp(name_buffer, t.groups[i].data()) == 0) return static_cast<std::uint8_t>(i);
  }
  return kNone;
}

// ---- Output ------------------------------------------------------------------------------------

template <std::size_t N>
std::array<std::uint8_t, N> little_endian(std::uint32_t value) {
  std::array<std::uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

int put(Table& t, std::span<const std::uint8_t> bytes, const char* item) {
  return output_write(t.file, bytes) == 0 ? 0 : write_error(t, item);
}

int put_byte(Table& t, std::uint8_t byte, const char* item) {
  return put(t, {&byte, 1}, item);
}

int patch(Table& t, std::uint64_t offset, std::span<const std::uint8_t> bytes, const char* item) {
  return output_patch(t.file, offset, bytes) == 0 ? 0 : write_error(t, item);
}

bool names_a_folder(std::string_view name) {
  return name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos;
}

// A name that would leave the current directory is not tried; one that cannot be created here
// gives way to a name made of the local time.
int open_output(Table& t) {
  std::string_view name(t.name.data());
  std::snprintf(t.output_name, sizeof t.output_name, "%s%s", t.name.data(),
                kBinaryExtension.data());
  if (!names_a_folder(name) && output_open(t.file, t.output_name) == 0) return 0;
  std::printf("%s: Cannot write the file. Retry...\n", t.output_name);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (const std::tm* broken_down = std::localtime(&now)) local = *broken_down;
  std::snprintf(t.output_name, sizeof t.output_name, kFallbackNameFormat, local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  if (output_open(t.file, t.output_name) != 0) {
    std::printf("%s: Cannot write the file\n", t.output_name);
    return 1;
  }
  std::this_thread::sleep_for(fallback_pause);
  return 0;
}

// ---- The table ---------------------------------------------------------------------------------

int read_fieldinfo(Reader& r, Table& t) {
  std::array<std::uint8_t, kFieldInfoSize> info{};
  Name name;
  if (expect(r, "id") != 0) return 1;
  info[0] = low_byte(leading_integer(text_view(element_text(r))));
  if (expect(r, "/id") != 0 || expect(r, "name") != 0 || read_name(r, name) != 0) return 1;
  std::memcpy(&info[1], name.data(), kNameFieldWidth);
  if (expect(r, "/name") != 0 || expect(r, "type") != 0) return 1;
  if (read_type(r, info[1 + kNameFieldWidth]) != 0) return 1;
  if (expect(r, "/type") != 0 || expect(r, "/fieldinfo") != 0 || scan(r) != 0) return 1;
  return put(t, info, "fieldinfo");
}

int read_schema(Reader& r, Table& t) {
  if (expect(r, "schema") != 0 || scan(r) != 0) return 1;
  std::uint8_t skeyid = kNone;
  if (is(r, "skeyid")) {
    skeyid = low_byte(leading_integer(text_view(element_text(r))));
    if (expect(r, "/skeyid") != 0 || scan(r) != 0) return 1;
  }
  const std::uint64_t ninfo_at = output_position(t.file);
  if (put(t, little_endian<kCountWidth>(0), "ninfo") != 0) return 1;
  std::uint32_t ninfo = 0;
  for (; is(r, "fieldinfo"); ++ninfo) {
    if (read_fieldinfo(r, t) != 0) return 1;
  }
  if (require(r, "/schema") != 0) return 1;
  if (patch(t, ninfo_at, little_endian<kCountWidth>(ninfo), "ninfo") != 0) return 1;
  return put_byte(t, skeyid, "skeyid");
}

int read_groups(Reader& r, Table& t) {
  const std::uint64_t ngroup_at = output_position(t.file);
  if (put_byte(t, 0, "ngroup") != 0) return 1;
  if (!is(r, "groups")) return 0;
  if (scan(r) != 0) return 1;
  while (is(r, "group")) {
    if (t.ngroup == kMaxGroups) return parse_error(r);
    Name& name = t.groups[t.ngroup];
    if (read_name(r, name) != 0 || expect(r, "/group") != 0 || scan(r) != 0) return 1;
    if (put(t, {reinterpret_cast<const std::uint8_t*>(name.data()), name.size()}, "group") != 0) {
      return 1;
    }
    ++t.ngroup;
  }
  if (require(r, "/groups") != 0) return 1;
  const std::uint8_t ngroup = static_cast<std::uint8_t>(t.ngroup);
  if (patch(t, ngroup_at, {&ngroup, 1}, "ngroup") != 0) return 1;
  return scan(r);
}

// The value's data, converted in place inside the element text.
int read_content(const Reader& r, std::uint8_t type, std::array<std::uint8_t, kInt4Size>& number,
                 std::span<const std::uint8_t>& data) {
  std::span<char> text = element_text(r);
  auto* bytes = reinterpret_cast<std::uint8_t*>(text.data());
  switch (type) {
    case kInt2:
    case kInt4:
      number = little_endian<kInt4Size>(leading_integer(text_view(text)));
      data = {number.data(), type == kInt2 ? kInt2Size : kInt4Size};
      return 0;
    case kString:
      data = {bytes, unescape_content(text_view(text), text.data())};
      return 0;
    default:
      if (!tag_has(r, kAttrBase64)) return parse_error(r);
      data = {bytes, base64_decode_into({bytes, text.size()}, bytes)};
      return 0;
  }
}

int read_fielddata(Reader& r, Table& t) {
  std::array<std::uint8_t, kFieldDataHeadSize> head{};
  std::array<std::uint8_t, kInt4Size> number{};
  std::span<const std::uint8_t> data;
  if (expect(r, "id") != 0) return 1;
  head[0] = low_byte(leading_integer(text_view(element_text(r))));
  if (expect(r, "/id") != 0 || expect(r, "type") != 0 || read_type(r, head[1]) != 0) return 1;
  if (expect(r, "/type") != 0 || expect(r, "content") != 0) return 1;
  if (read_content(r, head[1], number, data) != 0) return 1;
  if (expect(r, "/content") != 0 || expect(r, "/fielddata") != 0 || scan(r) != 0) return 1;
  const bool terminated = head[1] == kString;
  const auto length = static_cast<std::uint32_t>(data.size() + (terminated ? 1 : 0));
  auto length_bytes = little_endian<kCountWidth>(length);
  std::memcpy(&head[2], length_bytes.data(), kCountWidth);
  if (put(t, head, "fielddata") != 0 || put(t, data, "fielddata") != 0) return 1;
  return terminated ? put_byte(t, 0, "fielddata") : 0;
}

int read_record(Reader& r, Table& t) {
  std::uint8_t group = t.default_group;
  if (scan(r) != 0) return 1;
  if (is(r, "secret/")) {
    end_progress();
    std::printf("#%u: Secret data not supported in tbl\n", static_cast<unsigned>(t.nrecord));
    if (scan(r) != 0) return 1;
  }
  if (is(r, "group")) {
    std::uint8_t found = find_group(r, t);
    if (found != kNone) group = found;
    if (expect(r, "/group") != 0 || scan(r) != 0) return 1;
  }
  if (put_byte(t, group, "group") != 0) return 1;
  const std::uint64_t ndata_at = output_position(t.file);
  if (put_byte(t, 0, "ndata") != 0) return 1;
  std::size_t ndata = 0;
  for (; is(r, "fielddata"); ++ndata) {
    if (ndata == kMaxFieldData) return parse_error(r);
    if (read_fielddata(r, t) != 0) return 1;
  }
  if (require(r, "/record") != 0 || scan(r) != 0) return 1;
  const std::uint8_t count = static_cast<std::uint8_t>(ndata);
  if (patch(t, ndata_at, {&count, 1}, "ndata") != 0) return 1;
  ++t.nrecord;
  print_progress(t.name.data(), t.overwrite, t.nrecord, nullptr);
  return 0;
}

int read_records(Reader& r, Table& t) {
  if (require(r, "records") != 0 || scan(r) != 0) return 1;
  if (is(r, "group")) {
    t.default_group = find_group(r, t);
    if (expect(r, "/group") != 0 || scan(r) != 0) return 1;
  }
  const std::uint64_t nrecord_at = output_position(t.file);
  if (put(t, little_endian<kCountWidth>(0), "nrecord") != 0) return 1;
  while (is(r, "record")) {
    if (read_record(r, t) != 0) return 1;
  }
  if (require(r, "/records") != 0) return 1;
  return patch(t, nrecord_at, little_endian<kCountWidth>(t.nrecord), "nrecord");
}

int write_file_head(Table& t) {
  std::array<std::uint8_t, kFileHeaderSize> header = kFileHeaderTemplate;
  header[kHeaderWriteModeOffset] = t.overwrite ? kOverwrite : kAppend;
  if (put(t, header, "header") != 0) return 1;
  return put(t, {reinterpret_cast<const std::uint8_t*>(t.name.data()), kTableNameWidth},
             "table name");
}

// From the table start tag, already scanned, to its end tag; the file is kept only then.
int convert_table(Reader& r) {
  Table t;
  t.overwrite = tag_has(r, kAttrOverwrite);
  if (expect(r, "name") != 0 || read_name(r, t.name) != 0) return 1;
  if (open_output(t) != 0) return 1;
  if (expect(r, "/name") != 0) return 1;
  std::printf("\t%s...\n", t.output_name);
  if (write_file_head(t) != 0 || read_schema(r, t) != 0 || scan(r) != 0) return 1;
  if (read_groups(r, t) != 0 || read_records(r, t) != 0 || expect(r, "/table") != 0) return 1;
  end_progress();
  if (output_commit(t.file) != 0) {
    std::printf("%s: Cannot write the file\n", t.output_name);
    return 1;
  }
  std::printf("\n");
  return 0;
}

// ---- The document ------------------------------------------------------------------------------

int read_header(Reader& r) {
  if (expect(r, "?xml") != 0 || expect(r, "tblx") != 0 || expect(r, "header") != 0) return 1;
  bool has_version = false;
  for (;;) {
    if (scan(r) != 0) return 1;
    if (is(r, "/header")) break;
    if (!is(r, "version")) continue;
    if (text_view(element_text(r)) != kDocumentVersion) return parse_error(r);
    if (expect(r, "/version") != 0) return 1;
    has_version = true;
  }
  if (!has_version) return parse_error(r);
  return expect(r, "tables");
}

int convert_document(char* text) {
  Reader r;
  r.text = text;
  r.next = text;
  if (read_header(r) != 0) return 1;
  bool any_table = false;
  for (;;) {
    if (scan(r) != 0) return 1;
    if (is(r, "/tables")) break;
    if (require(r, "table") != 0 || convert_table(r) != 0) return 1;
    any_table = true;
  }
  if (!any_table) return parse_error(r);
  return expect(r, "/tblx");
}

bool is_document_name(std::string_view path) {
  if (path.size() <= kDocumentExtension.size()) return false;
  return equals_ignoring_case(path.substr(path.size() - kDocumentExtension.size()),
                              kDocumentExtension);
}

}  // namespace

std::chrono::milliseconds fallback_pause = std::chrono::seconds(1);

int convert_tblx_to_tbl(const char* path) {
  if (path == nullptr) return 1;
  if (!is_document_name(path)) return 0;
  Bytes document;
  if (load_whole_file(path, document) != 0) {
    std::printf("%s: Cannot read the file\n", path);
    return 1;
  }
  current_line = 1;
  pending_lines = 0;
  std::printf("%s =>\n", path);
  return convert_document(reinterpret_cast<char*>(document.begin()));
}

}  // namespace tbl2tblx
