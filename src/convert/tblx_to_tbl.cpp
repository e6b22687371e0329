// Reads a .tblx document in one forward pass, tag by tag, and writes one .tbl file per table.
// Element texts are converted where they stand in the loaded document (numbers parsed, strings
// unescaped and blobs decoded in place), so no value is copied or allocated on its way to the
// output file.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <set>
#include <span>
#include <string>
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
  const char* content = nullptr;  // after the '>' of the last tag; nullptr: no text follows it
  const char* next = nullptr;     // the '<' of the tag to scan next
  bool utf8 = false;              // names and strings are decoded from UTF-8
  bool close_pending = false;     // the last tag was an empty-element tag: its end comes next
  char tag[kTagBufferSize] = {};
};

using Name = std::array<char, kNameFieldWidth>;  // at most 20 characters and a zero

// The files one document has written so far, by name: a later table of the same name must not
// replace one of them.
using WrittenNames = std::set<std::string, std::less<>>;

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

// "<x/>" and "<x .../>" stand for "<x ...></x>": the end tag is made from the start tag.
void close_empty_element(Reader& r) {
  const char* name = r.tag + 1;
  const int length = static_cast<int>(std::strcspn(name, " />"));
  char end[kTagBufferSize];
  std::snprintf(end, sizeof end, "</%.*s>", length, name);
  std::memcpy(r.tag, end, sizeof end);
  r.content = nullptr;
}

// The document ended inside an element text that ran on across markup: the failure a scan for
// the next tag meets at the end of the text.
int text_ended(Reader& r) {
  current_line += pending_lines;
  pending_lines = 0;
  r.tag[0] = '\0';
  return parse_error(r);
}

// Takes the next tag. The document must go on after every tag but the closing root tag.
int scan(Reader& r) {
  if (r.close_pending) {
    r.close_pending = false;
    close_empty_element(r);
    return 0;
  }
  if (r.next == nullptr) return text_ended(r);
  if (next_tag(r.next, r.tag, &r.content, &r.next) != 0) return parse_error(r);
  if (r.next == nullptr && !is_closing_root(r.tag)) return parse_error(r);
  // XML writes "/>" together; the source is looked at first, as nearly no tag is empty.
  if (r.content[-2] == '/' && is_empty_element(r.tag)) {
    r.close_pending = true;
    r.content = nullptr;  // an empty element has no text; what follows the tag is not its text
  }
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

std::int32_t count_line_ends(const char* begin, const char* end) {
  return static_cast<std::int32_t>(std::count(begin, end, '\n'));
}

// The scan goes on from the tag after the element text, and the line ends of the markup inside
// the text are counted now: decoding writes over them.
void skip_past_text(Reader& r, const char* end) {
  if (r.next == nullptr || end <= r.next) return;
  pending_lines += count_line_ends(r.next, end);
  r.next = *end == '<' ? end : nullptr;
}

// Numbers, type names and most names: nothing to decode, and too short for a library search.
bool is_plain_short_text(std::string_view text) {
  constexpr std::size_t kShortText = 24;
  if (text.size() > kShortText) return false;
  return std::none_of(text.begin(), text.end(), [](char c) { return c == '&' || c == '\n'; });
}

// One piece of element text decoded where it stands into `dest` (never past the piece's start).
int decode_piece(const Reader& r, const TextPiece& piece, char* dest, std::size_t& written) {
  std::string_view raw(piece.begin, static_cast<std::size_t>(piece.end - piece.begin));
  if (r.utf8) {
    std::size_t decoded = 0;
    if (utf8_to_latin1(raw, dest, decoded) != 0) return 1;
    raw = {dest, decoded};
  }
  if (is_plain_short_text(raw)) {
    if (dest != raw.data()) std::memmove(dest, raw.data(), raw.size());
    written = raw.size();
    return 0;
  }
  if (piece.cdata) {
    written = translate_line_ends(raw, dest);
    return 0;
  }
  const Unescaped unescaped = unescape_content(raw, dest);
  written = unescaped.length;
  return unescaped.valid ? 0 : 1;
}

// Text that runs across markup: where it ends is found before any byte of it is rewritten.
int decode_pieces(Reader& r, char* out, std::size_t& used) {
  TextPiece piece;
  const char* end = r.content;
  while (next_text_piece(end, piece)) {
  }
  skip_past_text(r, end);
  for (const char* p = r.content; next_text_piece(p, piece);) {
    std::size_t written = 0;
    if (decode_piece(r, piece, out + used, written) != 0) return 1;
    used += written;
  }
  return 0;
}

// The text of the element whose start tag was just scanned, decoded where it lies in the
// document: it runs on across comments and processing instructions, takes the characters of
// CDATA sections as they stand, and decodes entities, line ends and (in a UTF-8 document) UTF-8.
// A text that no character of the binary form can stand for is refused at the start tag.
int read_text(Reader& r, std::span<char>& text) {
  text = {r.text, 0};
  if (r.content == nullptr) return 0;
  char* const out = r.text + (r.content - r.text);
  std::size_t used = 0;
  int failed = 0;
  if (r.next == nullptr || markup_at(r.next) == Markup::kTag) {  // the usual case: one piece
    const char* end = r.next != nullptr ? r.next : r.content + std::strlen(r.content);
    failed = decode_piece(r, {r.content, end, false}, out, used);
  } else {
    failed = decode_pieces(r, out, used);
  }
  if (failed != 0) return parse_error(r);
  text = {out, used};
  return 0;
}

std::string_view text_view(std::span<const char> text) {
  return {text.data(), text.size()};
}

bool tag_has(const Reader& r, std::string_view name, std::string_view value) {
  return tag_has_attribute(r.tag, name, value);
}

// ---- Element texts -----------------------------------------------------------------------------

template <std::size_t N>
std::array<std::uint8_t, N> little_endian(std::uint32_t value) {
  std::array<std::uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i)
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim_xml_space(std::string_view text) {
  while (!text.empty() && is_xml_space(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && is_xml_space(text.back()))
    text.remove_suffix(1);
  return text;
}

// Digits are added up no higher than this: above every field's range, and far from overflow.
constexpr std::int64_t kMagnitudeCap = std::int64_t{1} << 40;

// The text of a number element: XML white space, an optional sign, at least one decimal digit,
// XML white space, and nothing else. false for any other text, or a value outside [min, max].
bool parse_integer(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t& value) {
  text = trim_xml_space(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    magnitude = std::min(magnitude * 10 + (c - '0'), kMagnitudeCap);
  }
  value = negative ? -magnitude : magnitude;
  return value >= min && value <= max;
}

// An id or skeyid: 0 to 255, refused at the element's start tag unless the text is exactly
// such a number.
int read_byte(Reader& r, std::uint8_t& byte) {
  std::span<char> text;
  std::int64_t value = 0;
  if (read_text(r, text) != 0) return 1;
  if (!parse_integer(text_view(text), 0, std::numeric_limits<std::uint8_t>::max(), value)) {
    return parse_error(r);
  }
  byte = static_cast<std::uint8_t>(value);
  return 0;
}

// An int2 or int4 value in the little-endian bytes of the binary form.
template <typename Int>
bool parse_value(std::string_view text, std::array<std::uint8_t, kInt4Size>& number) {
  std::int64_t value = 0;
  const std::int64_t min = std::numeric_limits<Int>::min();
  const std::int64_t max = std::numeric_limits<Int>::max();
  if (!parse_integer(text, min, max, value)) return false;
  number = little_endian<kInt4Size>(static_cast<std::uint32_t>(value));
  return true;
}

// What a blob content may hold: the base64 alphabet, its padding and XML white space. The
// decoder would skip anything else, so a slip would decode to other bytes without a word.
bool is_base64_text(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=' || is_xml_space(c);
  });
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

int read_type(Reader& r, std::uint8_t& code) {
  std::span<char> decoded;
  if (read_text(r, decoded) != 0) return 1;
  const std::string_view text = text_view(decoded);
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
int read_name(Reader& r, Name& name) {
  std::span<char> text;
  if (read_text(r, text) != 0) return 1;
  if (text.size() > kMaxNameChars) return parse_error(r);
  name = {};
  std::memcpy(name.data(), text.data(), text.size());
  return 0;
}

// The number of the group the element text names (an empty text names the group with the
// empty name); a name that is none of the table's groups is refused at the element's start tag.
int read_group(Reader& r, const Table& t, std::uint8_t& group) {
  std::span<char> text;
  if (read_text(r, text) != 0) return 1;
  for (std::size_t i = 0; i < t.ngroup; ++i) {
    if (text_view(text) == std::string_view(t.groups[i].data())) {
      group = static_cast<std::uint8_t>(i);
      return 0;
    }
  }
  return parse_error(r);
}

// ---- Output ------------------------------------------------------------------------------------

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

// A name that would leave the current directory, or that names a file this document has already
// written, is not tried; one that cannot be created here gives way to a name made of the local
// time.
int open_output(Table& t, const WrittenNames& written) {
  std::string_view name(t.name.data());
  std::snprintf(t.output_name, sizeof t.output_name, "%s%s", t.name.data(),
                kBinaryExtension.data());
  if (!names_a_folder(name) && !written.contains(std::string_view(t.output_name)) &&
      output_open(t.file, t.output_name) == 0) {
    return 0;
  }
  std::printf("%s: Cannot write the file. Retry...\n", t.output_name);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (const std::tm* broken_down = std::localtime(&now)) local = *broken_down;
  std::snprintf(t.output_name, sizeof t.output_name, kFallbackNameFormat, local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  if (written.contains(std::string_view(t.output_name)) ||
      output_open(t.file, t.output_name) != 0) {
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
  if (expect(r, "id") != 0 || read_byte(r, info[0]) != 0) return 1;
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
    if (read_byte(r, skeyid) != 0 || expect(r, "/skeyid") != 0 || scan(r) != 0) return 1;
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
int read_content(Reader& r, std::uint8_t type, std::array<std::uint8_t, kInt4Size>& number,
                 std::span<const std::uint8_t>& data) {
  if (type == kBlob && !tag_has(r, kAttrEncoding, kEncodingBase64)) return parse_error(r);
  std::span<char> text;
  if (read_text(r, text) != 0) return 1;
  auto* bytes = reinterpret_cast<std::uint8_t*>(text.data());
  switch (type) {
    case kInt2:
      if (!parse_value<std::int16_t>(text_view(text), number)) return parse_error(r);
      data = {number.data(), kInt2Size};
      return 0;
    case kInt4:
      if (!parse_value<std::int32_t>(text_view(text), number)) return parse_error(r);
      data = {number.data(), kInt4Size};
      return 0;
    case kString:
      data = {bytes, text.size()};
      return 0;
    default:
      if (!is_base64_text(text_view(text))) return parse_error(r);
      data = {bytes, base64_decode_into({bytes, text.size()}, bytes)};
      return 0;
  }
}

int read_fielddata(Reader& r, Table& t) {
  std::array<std::uint8_t, kFieldDataHeadSize> head{};
  std::array<std::uint8_t, kInt4Size> number{};
  std::span<const std::uint8_t> data;
  if (expect(r, "id") != 0 || read_byte(r, head[0]) != 0) return 1;
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
  if (is(r, "secret")) {
    end_progress();
    std::printf("#%u: Secret data not supported in tbl\n", static_cast<unsigned>(t.nrecord));
    if (expect(r, "/secret") != 0 || scan(r) != 0) return 1;
  }
  if (is(r, "group")) {
    if (read_group(r, t, group) != 0) return 1;
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
    if (read_group(r, t, t.default_group) != 0) return 1;
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
int convert_table(Reader& r, WrittenNames& written) {
  Table t;
  t.overwrite = tag_has(r, kAttrWrite, kWriteOverwrite);
  if (expect(r, "name") != 0 || read_name(r, t.name) != 0) return 1;
  if (open_output(t, written) != 0) return 1;
  if (expect(r, "/name") != 0) return 1;
  std::printf("\t%s...\n", t.output_name);
  if (write_file_head(t) != 0 || read_schema(r, t) != 0 || scan(r) != 0) return 1;
  if (read_groups(r, t) != 0 || read_records(r, t) != 0 || expect(r, "/table") != 0) return 1;
  end_progress();
  if (output_commit(t.file) != 0) {
    std::printf("%s: Cannot write the file\n", t.output_name);
    return 1;
  }
  written.emplace(t.output_name);
  std::printf("\n");
  return 0;
}

// ---- The document ------------------------------------------------------------------------------

bool names_utf8(std::string_view encoding) {
  return std::find(kUtf8Names.begin(), kUtf8Names.end(), encoding) != kUtf8Names.end();
}

// The declaration is optional. Without one, or without an encoding in it, the document is
// UTF-8; any other declared encoding is read byte for byte.
int read_declaration(Reader& r) {
  if (scan(r) != 0) return 1;
  r.utf8 = true;
  if (!is(r, "?xml")) return 0;
  std::string_view encoding;
  if (tag_attribute(r.tag, kAttrEncoding, encoding)) r.utf8 = names_utf8(encoding);
  return scan(r);
}

int read_header(Reader& r) {
  if (read_declaration(r) != 0 || require(r, "tblx") != 0 || expect(r, "header") != 0) return 1;
  bool has_version = false;
  for (;;) {
    if (scan(r) != 0) return 1;
    if (is(r, "/header")) break;
    if (!is(r, "version")) continue;
    std::span<char> version;
    if (read_text(r, version) != 0) return 1;
    if (text_view(version) != kDocumentVersion) return parse_error(r);
    if (expect(r, "/version") != 0) return 1;
    has_version = true;
  }
  if (!has_version) return parse_error(r);
  return expect(r, "tables");
}

int convert_document(char* text) {
  Reader r;
  r.text = text;
  const bool marked = std::strncmp(text, kByteOrderMark.data(), kByteOrderMark.size()) == 0;
  r.next = marked ? text + kByteOrderMark.size() : text;
  if (read_header(r) != 0) return 1;
  WrittenNames written;
  for (;;) {
    if (scan(r) != 0) return 1;
    if (is(r, "/tables")) break;
    if (require(r, "table") != 0 || convert_table(r, written) != 0) return 1;
  }
  if (written.empty()) return parse_error(r);
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
