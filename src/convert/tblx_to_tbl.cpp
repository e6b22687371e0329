// Reads a .tblx document in one forward pass through a small window, tag by tag, and writes one
// .tbl file per table. Element texts are decoded as they stream in: numbers are parsed and names
// gathered into small buffers, strings unescaped and blobs decoded straight into the output
// file, so that a document of any size, and a value of any length, takes the same memory.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "base64/base64.hpp"
#include "convert/convert.hpp"
#include "convert/messages.hpp"
#include "convert/shared.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

constexpr const char* kFallbackNameFormat = "%04d%02d%02d%02d%02d%02d.tbl";
// A table name and ".tbl", or the fallback name with room for any value of the time fields.
constexpr std::size_t kOutputNameSize = 80;

// How a conversion stopped short, for the one place that words it.
enum class Failure : std::uint8_t {
  kNone,
  kParse,  // the tag and line where the document cannot be read on
  kWrite,  // an item of the output that could not be written
  kFile,   // an output file that could not be created or completed
  kRead,   // the document could not be read
};

struct Outcome {
  Failure failure = Failure::kNone;
  char tag[kTagBufferSize] = {};
  std::int32_t line = 0;
  const char* item = nullptr;
  char output_name[kOutputNameSize] = {};
};

// The document walk: the window over the document, the last tag scanned and how its text stands.
struct Reader {
  InputWindow in;
  TagScan scan;
  bool utf8 = false;           // names and strings are decoded from UTF-8
  bool close_pending = false;  // the last tag was an empty-element tag: its end comes next
  bool text_pending = false;   // the text after the last tag is still to be read or passed over
  bool ended = false;          // the document ended inside the last text, after some markup
  bool open_markup = false;    // the last text ended at markup that the document ends inside
  char tag[kTagBufferSize] = {};
  Outcome outcome;
  RunContext& run;  // what the command line settled

  explicit Reader(RunContext& context) : run(context) {}
};

using Name = std::array<char, kNameFieldWidth>;  // at most 20 characters and a zero

// The files one document has written so far, by name: a later table of the same name must not
// replace one of them.
using WrittenNames = std::set<std::string, std::less<>>;

// One table's output and what its records refer to.
struct Table {
  OutputFile file;
  Outcome* outcome = nullptr;
  char output_name[kOutputNameSize] = {};
  Name name = {};
  bool overwrite = false;
  std::array<Name, kMaxGroups> groups = {};
  std::size_t ngroup = 0;
  std::uint8_t default_group = kNone;
  std::uint32_t nrecord = 0;
};

// ---- Failures ----------------------------------------------------------------------------------

int parse_error(Reader& r) {
  r.outcome.failure = Failure::kParse;
  std::memcpy(r.outcome.tag, r.tag, sizeof r.tag);
  r.outcome.line = r.scan.current_line;
  return 1;
}

int file_error(Outcome& outcome, const char* output_name, Failure failure, const char* item) {
  outcome.failure = failure;
  outcome.item = item;
  std::snprintf(outcome.output_name, sizeof outcome.output_name, "%s", output_name);
  return 1;
}

int write_error(Table& t, const char* item) {
  return file_error(*t.outcome, t.output_name, Failure::kWrite, item);
}

void report(const char* path, Reader& r) {
  const Outcome& o = r.outcome;
  Console& console = r.run.console;
  if (r.in.failed) {
    say(console, kMessageCannotRead, path);
    return;
  }
  switch (o.failure) {
    case Failure::kParse:
      say(console, kMessageParseError, o.tag, static_cast<int>(o.line));
      break;
    case Failure::kWrite:
      say(console, kMessageCannotWriteItem, o.output_name, o.item);
      break;
    case Failure::kFile:
      say(console, kMessageCannotWrite, o.output_name);
      break;
    case Failure::kRead:
      say(console, kMessageCannotRead, path);
      break;
    case Failure::kNone:
      break;
  }
}

// ---- Scanning ----------------------------------------------------------------------------------

bool is_closing_root(const char* tag) {
  return tag[1] == '/' && tag_is(tag, "/tblx");
}

// Element names are literals: their length is known where they are compared.
template <std::size_t N>
bool is(const Reader& r, const char (&name)[N]) {
  return tag_is(r.tag, {name, N - 1});
}

// "<x/>" and "<x .../>" stand for "<x ...></x>": the end tag is made from the start tag.
void close_empty_element(Reader& r) {
  const char* name = r.tag + 1;
  const int length = static_cast<int>(std::strcspn(name, " />"));
  char end[kTagBufferSize] = {};
  std::snprintf(end, sizeof end, "</%.*s>", length, name);
  std::memcpy(r.tag, end, sizeof end);
}

// Whatever stood between the last tag and this scan: a text passed over, or the end of the
// document met inside it.
inline int settle_last_text(Reader& r) {
  if (!r.text_pending && !r.ended && !r.open_markup) return 0;
  if (r.text_pending) {
    r.text_pending = false;
    if (!skip_to_markup(r.in, r.scan)) return parse_error(r);
  }
  if (r.ended) return parse_error(r);
  if (r.open_markup) {
    r.scan.current_line += r.scan.pending_lines;
    r.scan.pending_lines = 0;
    r.tag[0] = '\0';
    return parse_error(r);
  }
  return 0;
}

// Takes the next tag. The document must go on after every tag but the closing root tag. The
// text after a start tag named `text_of` is left where it stands for read_text; any other text
// is passed over at once. The tags named `likely` and `also_likely`, written as they are stored,
// are taken at once.
template <std::size_t N = 1, std::size_t M = 1, std::size_t K = 1>
int scan(Reader& r, const char (&text_of)[N] = "", const char (&likely)[M] = "",
         const char (&also_likely)[K] = "") {
  if (r.close_pending) {
    r.close_pending = false;
    close_empty_element(r);
    return 0;
  }
  if (settle_last_text(r) != 0) return 1;
  const bool taken = (M > 1 && take_tag_as_written(r.in, r.scan, r.tag, {likely, M - 1})) ||
                     (K > 1 && take_tag_as_written(r.in, r.scan, r.tag, {also_likely, K - 1}));
  if (!taken && next_tag(r.in, r.scan, r.tag) != 0) return parse_error(r);
  // XML writes "/>" together; the source is looked at first, as nearly no tag is empty.
  const bool empty = r.scan.slash_close && is_empty_element(r.tag);
  if ((N > 1 && !empty && is(r, text_of)) || is_closing_root(r.tag)) {
    r.text_pending = true;
  } else if (!skip_to_markup(r.in, r.scan)) {
    return parse_error(r);
  }
  r.close_pending = empty;
  return 0;
}

template <std::size_t N>
int require(Reader& r, const char (&name)[N]) {
  return is(r, name) ? 0 : parse_error(r);
}

template <std::size_t N>
int expect(Reader& r, const char (&name)[N]) {
  if (scan(r, "", name) != 0) return 1;
  return require(r, name);
}

// The start tag of an element whose text is read next.
template <std::size_t N>
int expect_text(Reader& r, const char (&name)[N]) {
  if (scan(r, name, name) != 0) return 1;
  return require(r, name);
}

bool tag_has(const Reader& r, std::string_view name, std::string_view value) {
  return tag_has_attribute(r.tag, name, value);
}

// ---- Element texts -----------------------------------------------------------------------------

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Digits are added up no higher than this: above every field's range, and far from overflow.
constexpr std::int64_t kMagnitudeCap = std::int64_t{1} << 40;

// Names, type names, group references and the version: more than any of them can hold.
constexpr std::size_t kShortTextSize = 32;
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
  bool foreign = false;       // kBlob: a character outside base64 and XML white space
};

// What a blob content may hold: the base64 alphabet, its padding and XML white space. The
// decoder would skip anything else, so a slip would decode to other bytes without a word.
constexpr std::array<bool, 256> make_base64_text_set() {
  std::array<bool, 256> set{};
  for (const char c : std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                       "0123456789+/= \t\r\n")) {
    set[static_cast<unsigned char>(c)] = true;
  }
  return set;
}
constexpr std::array<bool, 256> kBase64Text = make_base64_text_set();

bool is_base64_text(std::string_view text) {
  bool all = true;
  for (const char c : text)
    all &= kBase64Text[static_cast<unsigned char>(c)];
  return all;
}

void add_digit_or_space(Value& v, char c) {
  const bool digit = c >= '0' && c <= '9';
  switch (v.part) {
    case NumberPart::kLead:
      if (is_xml_space(c)) return;
      if (c == '-' || c == '+') {
        v.negative = c == '-';
        v.part = NumberPart::kSign;
        return;
      }
      v.part = digit ? NumberPart::kDigits : NumberPart::kBad;
      break;
    case NumberPart::kSign:
      v.part = digit ? NumberPart::kDigits : NumberPart::kBad;
      break;
    case NumberPart::kDigits:
      if (!digit) {
        v.part = is_xml_space(c) ? NumberPart::kTrail : NumberPart::kBad;
        return;
      }
      break;
    case NumberPart::kTrail:
      if (!is_xml_space(c)) v.part = NumberPart::kBad;
      return;
    case NumberPart::kBad:
      return;
  }
  if (v.part == NumberPart::kDigits)
    v.magnitude = std::min(v.magnitude * 10 + (c - '0'), kMagnitudeCap);
}

// Base64 text decoded into the output in parts no larger than its buffer takes at once.
void decode_base64_into(Value& v, std::string_view text) {
  constexpr std::size_t kPart = kOutputBufferSize / 2;
  for (std::size_t at = 0; at < text.size(); at += kPart) {
    const std::size_t n = std::min(kPart, text.size() - at);
    std::uint8_t* dest = output_reserve(*v.out, n);
    if (dest == nullptr) return;
    output_advance(
        *v.out, base64_decode_step(
                    v.base64, {reinterpret_cast<const std::uint8_t*>(text.data() + at), n}, dest));
  }
}

// Decoded characters into the value.
void take(Value& v, std::string_view text) {
  switch (v.sink) {
    case Sink::kShort:
      if (v.size < v.chars.size()) {
        std::memcpy(v.chars.data() + v.size, text.data(),
                    std::min(text.size(), v.chars.size() - v.size));
      }
      v.size += text.size();
      return;
    case Sink::kNumber:
      for (const char c : text) {
        if (v.part == NumberPart::kDigits && c >= '0' && c <= '9') {
          v.magnitude = std::min(v.magnitude * 10 + (c - '0'), kMagnitudeCap);
        } else {
          add_digit_or_space(v, c);
        }
      }
      return;
    case Sink::kString:
      (void)output_write(*v.out, text);  // a failure is sticky: reported once the element is read
      return;
    case Sink::kBlob:
      if (!is_base64_text(text)) v.foreign = true;
      decode_base64_into(v, text);
      return;
  }
}

std::string_view short_text(const Value& v) {
  return {v.chars.data(), std::min(v.size, v.chars.size())};
}

// Unescapes the chunk [p, end) of an element text into `v` (see unescape_chunk).
const char* decode_chunk(Value& v, TextDecoder& d, bool entities, bool utf8, const char* p,
                         const char* end, const char* limit) {
  return unescape_chunk(d, entities, utf8, p, end, limit,
                        [&v](std::string_view chars) { take(v, chars); });
}

// Bytes that end a plain text: '<', and what decoding does not take as it stands.
constexpr ByteSet make_plain_stops(bool utf8) {
  ByteSet set = make_unescape_special_set(true, utf8);
  set['<'] = true;
  return set;
}
constexpr std::array<ByteSet, 2> kPlainStops = {make_plain_stops(false), make_plain_stops(true)};

// The usual text, taken at once: characters that stand for themselves, up to the '<' of a tag,
// all in the window. false (nothing taken) for any other text.
bool read_plain_text(Reader& r, Value& v) {
  const ByteSet& stops = kPlainStops[r.utf8 ? 1u : 0u];
  const char* begin = reinterpret_cast<const char*>(r.in.at);
  const char* end = reinterpret_cast<const char*>(r.in.end);
  const char* p = begin;
  while (p < end && !stops[static_cast<unsigned char>(*p)])
    ++p;
  if (end - p < 2 || *p != '<' || p[1] == '!' || p[1] == '?') return false;
  take(v, {begin, static_cast<std::size_t>(p - begin)});
  r.in.at = reinterpret_cast<const std::uint8_t*>(p);
  return true;
}

// The text of the element whose start tag was just scanned, decoded into `v` as it streams
// through the window: it runs on across comments and processing instructions, takes the
// characters of CDATA sections as they stand, and decodes entities, line ends and (in a UTF-8
// document) UTF-8. A text that no character of the binary form can stand for is refused at the
// start tag. A CDATA section that the document ends inside is no part of the text: what was
// decoded of it is taken back.
int read_text(Reader& r, Value& v) {
  if (!r.text_pending) return 0;  // an empty element
  r.text_pending = false;
  if (read_plain_text(r, v)) return 0;
  TextWalk walk;
  TextDecoder d;
  Value before_cdata;
  for (;;) {
    const TextChunk chunk = next_text_chunk(r.in, r.scan, walk, kReferenceLookahead + 1);
    switch (chunk.event) {
      case TextEvent::kData: {
        const char* limit = reinterpret_cast<const char*>(r.in.end);
        const char* stop = decode_chunk(v, d, true, r.utf8, chunk.begin, chunk.end, limit);
        if (d.refused) return parse_error(r);
        r.in.at = reinterpret_cast<const std::uint8_t*>(stop);
        break;
      }
      case TextEvent::kCdata:
        decode_chunk(v, d, false, r.utf8, chunk.begin, chunk.end, chunk.end);
        break;
      case TextEvent::kCdataStart:
        end_unescape_piece(d);
        if (d.refused) return parse_error(r);
        before_cdata = v;
        break;
      case TextEvent::kBreak:
      case TextEvent::kCdataEnd:
        end_unescape_piece(d);
        if (d.refused) return parse_error(r);
        break;
      case TextEvent::kStop:
        end_unescape_piece(d);
        return d.refused ? parse_error(r) : 0;
      case TextEvent::kEnd:
        end_unescape_piece(d);
        if (d.refused || !walk.met_markup) return parse_error(r);
        r.ended = true;
        return 0;
      case TextEvent::kOpenMarkup:
        if (walk.in_cdata) {
          v = before_cdata;
        } else {
          end_unescape_piece(d);
          if (d.refused) return parse_error(r);
        }
        r.open_markup = true;
        return 0;
    }
  }
}

// A number in [min, max] as the whole text of the element.
int read_number(Reader& r, std::int64_t min, std::int64_t max, std::int64_t& value) {
  Value v;
  v.sink = Sink::kNumber;
  if (read_text(r, v) != 0) return 1;
  if (v.part != NumberPart::kDigits && v.part != NumberPart::kTrail) return parse_error(r);
  value = v.negative ? -v.magnitude : v.magnitude;
  return value >= min && value <= max ? 0 : parse_error(r);
}

// An id or skeyid: 0 to 255, refused at the element's start tag unless the text is exactly
// such a number.
int read_byte(Reader& r, std::uint8_t& byte) {
  std::int64_t value = 0;
  if (read_number(r, 0, std::numeric_limits<std::uint8_t>::max(), value) != 0) return 1;
  byte = static_cast<std::uint8_t>(value);
  return 0;
}

// An int2 or int4 value in the little-endian bytes of the binary form.
template <typename Int>
int read_value(Reader& r, std::array<std::uint8_t, kInt4Size>& number) {
  std::int64_t value = 0;
  const std::int64_t min = std::numeric_limits<Int>::min();
  const std::int64_t max = std::numeric_limits<Int>::max();
  if (read_number(r, min, max, value) != 0) return 1;
  number = little_endian_bytes<kInt4Size>(static_cast<std::uint32_t>(value));
  return 0;
}

int read_short(Reader& r, Value& v) {
  return read_text(r, v);
}

int read_type(Reader& r, std::uint8_t& code) {
  Value v;
  if (read_short(r, v) != 0) return 1;
  for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
    if (v.size == kTypeNames[i].size() && ascii_lower(v.chars[0]) == kTypeNames[i][0] &&
        equals_ignoring_case(short_text(v), kTypeNames[i])) {
      code = static_cast<std::uint8_t>(i);
      return 0;
    }
  }
  return parse_error(r);
}

// A table, field or group name into a zero-filled field; longer than 20 characters is refused
// at the element's start tag rather than cut.
int read_name(Reader& r, Name& name) {
  Value v;
  if (read_short(r, v) != 0) return 1;
  if (v.size > kMaxNameChars) return parse_error(r);
  name = {};
  std::memcpy(name.data(), v.chars.data(), v.size);
  return 0;
}

// The number of the group the element text names (an empty text names the group with the
// empty name); a name that is none of the table's groups is refused at the element's start tag.
int read_group(Reader& r, const Table& t, std::uint8_t& group) {
  Value v;
  if (read_short(r, v) != 0) return 1;
  for (std::size_t i = 0; i < t.ngroup; ++i) {
    if (v.size <= kMaxNameChars && short_text(v) == std::string_view(t.groups[i].data())) {
      group = static_cast<std::uint8_t>(i);
      return 0;
    }
  }
  return parse_error(r);
}

// ---- Output ------------------------------------------------------------------------------------

int append(Table& t, std::span<const std::uint8_t> bytes, const char* item) {
  return output_write(t.file, bytes) == 0 ? 0 : write_error(t, item);
}

int append_byte(Table& t, std::uint8_t byte, const char* item) {
  return append(t, {&byte, 1}, item);
}

int patch_item(Table& t, std::uint64_t offset, std::span<const std::uint8_t> bytes,
               const char* item) {
  return output_patch(t.file, offset, bytes) == 0 ? 0 : write_error(t, item);
}

bool names_a_folder(std::string_view name) {
  return name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos;
}

// A name that would leave the current directory, or that names a file this document has already
// written, is not tried; one that cannot be created here gives way to a name made of the local
// time.
int open_output(Table& t, const WrittenNames& written, RunContext& run) {
  std::string_view name(t.name.data());
  std::snprintf(t.output_name, sizeof t.output_name, "%s%.*s", t.name.data(),
                static_cast<int>(kTableExtension.size()), kTableExtension.data());
  if (!names_a_folder(name) && !written.contains(std::string_view(t.output_name)) &&
      output_open(t.file, output_path(run, t.output_name).c_str()) == 0) {
    return 0;
  }
  say(run.console, kMessageRetry, t.output_name);
  const CalendarTime now = local_time_now();
  std::snprintf(t.output_name, sizeof t.output_name, kFallbackNameFormat, now.year, now.month,
                now.day, now.hour, now.minute, now.second);
  if (written.contains(std::string_view(t.output_name)) ||
      output_open(t.file, output_path(run, t.output_name).c_str()) != 0) {
    return file_error(*t.outcome, t.output_name, Failure::kFile, nullptr);
  }
  std::this_thread::sleep_for(run.fallback_pause);
  return 0;
}

// ---- The table ---------------------------------------------------------------------------------

int read_fieldinfo(Reader& r, Table& t) {
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

int read_schema(Reader& r, Table& t) {
  if (expect(r, "schema") != 0 || scan(r, "skeyid") != 0) return 1;
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

int read_groups(Reader& r, Table& t) {
  const std::uint64_t ngroup_at = output_position(t.file);
  if (append_byte(t, 0, "ngroup") != 0) return 1;
  if (!is(r, "groups")) return 0;
  if (scan(r, "group") != 0) return 1;
  while (is(r, "group")) {
    if (t.ngroup == kMaxGroups) return parse_error(r);
    Name& name = t.groups[t.ngroup];
    if (read_name(r, name) != 0 || expect(r, "/group") != 0 || scan(r, "group") != 0) return 1;
    if (append(t, {reinterpret_cast<const std::uint8_t*>(name.data()), name.size()}, "group") !=
        0) {
      return 1;
    }
    ++t.ngroup;
  }
  if (require(r, "/groups") != 0) return 1;
  const std::uint8_t ngroup = static_cast<std::uint8_t>(t.ngroup);
  if (patch_item(t, ngroup_at, {&ngroup, 1}, "ngroup") != 0) return 1;
  return scan(r);
}

// The end tags after a value's text.


// ---- Elements written as this tool writes them ---------------------------------------------------

// Nearly every document was written by this tool: its fielddata elements are read straight from
// the window when they stand there whole as it writes them (tags without attributes or white
// space, values of plain digits, white space between the tags). Anything else, or anything not
// yet in the window, is left to the walk above, from where it stood.
struct AsWritten {
  const char* at;
  const char* end;
  std::int32_t lines = 0;  // the line feeds passed
  std::int32_t lines_to_last_tag = 0;  // of which before the '<' of the last tag
};

template <std::size_t N>
bool literal(AsWritten& w, const char (&text)[N]) {
  constexpr std::size_t kLength = N - 1;
  if (static_cast<std::size_t>(w.end - w.at) < kLength || !same_bytes(w.at, text, kLength))
    return false;
  w.at += kLength;
  return true;
}

// A type name as written (in lower case).
bool type_name(AsWritten& w, std::uint8_t& code) {
  static_assert(kTypeNames[kInt2] == "int2" && kTypeNames[kInt4] == "int4" &&
                kTypeNames[kString] == "string" && kTypeNames[kBlob] == "blob");
  if (literal(w, "int2")) {
    code = kInt2;
  } else if (literal(w, "int4")) {
    code = kInt4;
  } else if (literal(w, "string")) {
    code = kString;
  } else if (literal(w, "blob")) {
    code = kBlob;
  } else {
    return false;
  }
  return true;
}

#if defined(__SSE2__)
constexpr std::size_t kDigitBlock = 16;

// The digits at the start of the kDigitBlock bytes at `text`.
std::size_t leading_digits(const char* text) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values);
  const auto others = ~static_cast<unsigned>(_mm_movemask_epi8(digit));
  return static_cast<std::size_t>(std::countr_zero(others | 1u << kDigitBlock));
}

// The value of the first `count` (at most 8) digit characters of the eight at `text`: the word
// is shifted so that they fill its top, the bytes before them counting as leading zeros, and
// the digits are then combined in pairs, fours and eights by multiplication.
std::uint64_t word_value(const char* text, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < sizeof word; ++i)
    word |= std::uint64_t{static_cast<std::uint8_t>(text[i])} << (8 * i);
  word -= 0x3030'3030'3030'3030;  // a borrow goes only into bytes shifted out below
  const unsigned half_shift = 4 * static_cast<unsigned>(sizeof word - count);
  word = word << half_shift << half_shift;
  word = word * 10 + (word >> 8);
  constexpr std::uint64_t kPairs = 0x0000'00FF'0000'00FF;
  constexpr std::uint64_t kHundredAndMillion = 100 + (std::uint64_t{1'000'000} << 32);
  constexpr std::uint64_t kOneAndTenThousand = 1 + (std::uint64_t{10'000} << 32);
  return ((word & kPairs) * kHundredAndMillion + (word >> 16 & kPairs) * kOneAndTenThousand) >>
         32;
}

constexpr std::size_t kWordDigits = 8;
constexpr auto kWordPowers = powers_of_ten<std::uint64_t, kWordDigits + 1>();

// The value of the first `count` (at most 16) digit characters of the kDigitBlock at `text`.
std::uint64_t digits_value(const char* text, std::size_t count) {
  static_assert(kDigitBlock >= 2 * kWordDigits);
  const std::size_t high = count > kWordDigits ? count - kWordDigits : 0;
  const std::size_t low = count - high;
  return word_value(text, high) * kWordPowers[low] + word_value(text + high, low);
}
#endif

// One to `max_digits` decimal digits, with a '-' first where `signed_value` allows it. The
// signs and lengths of stored values are as good as random, so where the window holds a block
// after them they are read without a branch on either.
bool plain_number(AsWritten& w, std::size_t max_digits, bool signed_value, std::int64_t& value) {
  const bool negative = signed_value && w.at < w.end && *w.at == '-';
  w.at += negative ? 1 : 0;
  std::int64_t magnitude = 0;
  std::size_t digits = 0;
#if defined(__SSE2__)
  constexpr std::size_t kFewDigits = 3;  // ids and counts, whose lengths hardly vary
  if (max_digits > kFewDigits && max_digits <= 2 * kWordDigits &&
      static_cast<std::size_t>(w.end - w.at) >= kDigitBlock) {
    digits = std::min(leading_digits(w.at), max_digits);
    magnitude = static_cast<std::int64_t>(digits_value(w.at, digits));
    w.at += digits;
    value = negative ? -magnitude : magnitude;
    return digits > 0;
  }
#endif
  for (; w.at < w.end && *w.at >= '0' && *w.at <= '9' && digits < max_digits; ++w.at, ++digits)
    magnitude = magnitude * 10 + (*w.at - '0');
  value = negative ? -magnitude : magnitude;
  return digits > 0;
}

// White space up to the next '<', which must be in the window. The line end and the indent
// are looked at sixteen bytes at a time where SSE2 is present.
[[gnu::always_inline]] inline bool spaces_to_markup(AsWritten& w) {
#if defined(__SSE2__)
  constexpr std::ptrdiff_t kBlock = 16;
  while (w.end - w.at >= kBlock) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w.at));
    const __m128i feeds = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
    __m128i space = _mm_or_si128(feeds, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')));
    space = _mm_or_si128(space, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')));
    space = _mm_or_si128(space, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
    const auto feed_bits = static_cast<unsigned>(_mm_movemask_epi8(feeds));
    const auto other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFu;
    if (other != 0) {
      const int n = std::countr_zero(other);
      w.lines += count_bits(feed_bits & ((1u << n) - 1));
      w.at += n;
      return *w.at == '<';
    }
    w.lines += count_bits(feed_bits);
    w.at += kBlock;
  }
#endif
  for (; w.at < w.end && is_xml_space(*w.at); ++w.at)
    w.lines += *w.at == '\n' ? 1 : 0;
  return w.at < w.end && *w.at == '<';
}

// The last tag: its '<' is at w.at, and the line feeds after it will be pending.
template <std::size_t N>
bool last_tag(AsWritten& w, const char (&tag)[N]) {
  w.lines_to_last_tag = w.lines;
  return literal(w, tag);
}

// The reader as the walk leaves it once it has passed the end tag `end_tag` and the white space
// after it: the tag stored, its line counted, the line feeds after it pending, the window at
// the next '<'.
void leave_as_walked(Reader& r, const AsWritten& w, std::string_view end_tag) {
  r.scan.current_line += r.scan.pending_lines + w.lines_to_last_tag;
  r.scan.pending_lines = w.lines - w.lines_to_last_tag;
  r.scan.slash_close = false;
  std::memcpy(r.tag, end_tag.data(), end_tag.size());
  r.tag[end_tag.size()] = '\0';
  r.text_pending = false;
  r.in.at = reinterpret_cast<const std::uint8_t*>(w.at);
}

// Nothing of the walk is left to settle, and the reader stands at markup (or, with
// `at_text`, at the text of the tag just taken).
bool settled(const Reader& r, bool at_text = false) {
  return !r.close_pending && !r.ended && !r.open_markup && r.text_pending == at_text;
}

AsWritten window_of(const Reader& r) {
  return {reinterpret_cast<const char*>(r.in.at), reinterpret_cast<const char*>(r.in.end)};
}

// "<id>N</id> <type>T</type> " after a fielddata start tag.
bool take_id_and_type(Reader& r, std::uint8_t& id, std::uint8_t& type) {
  if (!settled(r)) return false;
  AsWritten w = window_of(r);
  std::int64_t value = 0;
  constexpr std::size_t kIdDigits = 3;
  if (!literal(w, "<id>") || !plain_number(w, kIdDigits, false, value) ||
      value > std::numeric_limits<std::uint8_t>::max() || !literal(w, "</id>") ||
      !spaces_to_markup(w) || !literal(w, "<type>")) {
    return false;
  }
  std::uint8_t code = 0;
  if (!type_name(w, code) || !last_tag(w, "</type>") || !spaces_to_markup(w)) return false;
  id = static_cast<std::uint8_t>(value);
  type = code;
  leave_as_walked(r, w, "</type>");
  return true;
}

// A start tag written as it is stored (lower case, single spaces, no white space around '='),
// so that `tag` is what the scan stores for it: the reader then stands at its text.
template <std::size_t N>
bool take_start_tag(Reader& r, const char (&tag)[N]) {
  if (!settled(r)) return false;
  AsWritten w = window_of(r);
  if (!last_tag(w, tag)) return false;
  leave_as_walked(r, w, {tag, N - 1});
  r.text_pending = true;
  return true;
}

// `<record ndata="N">` and the white space after it.
bool take_record_start(Reader& r) {
  if (!settled(r)) return false;
  AsWritten w = window_of(r);
  const char* const start = w.at;
  std::int64_t ndata = 0;
  constexpr std::size_t kNdataDigits = 3;
  if (!last_tag(w, "<record ndata=\"") || !plain_number(w, kNdataDigits, false, ndata) ||
      !literal(w, "\">")) {
    return false;
  }
  const std::string_view tag(start, static_cast<std::size_t>(w.at - start));
  if (!spaces_to_markup(w)) return false;
  leave_as_walked(r, w, tag);
  return true;
}

// "</content> </fielddata> ".
bool fielddata_end(AsWritten& w) {
  return literal(w, "</content>") && spaces_to_markup(w) && last_tag(w, "</fielddata>") &&
         spaces_to_markup(w);
}

// The end tags after a value's text, read.
bool take_fielddata_end(Reader& r) {
  if (!settled(r)) return false;
  AsWritten w = window_of(r);
  if (!fielddata_end(w)) return false;
  leave_as_walked(r, w, "</fielddata>");
  return true;
}

// "N</content> </fielddata> " after a content start tag, for a value of type Int.
template <typename Int>
bool take_number_content(Reader& r, std::array<std::uint8_t, kInt4Size>& number) {
  if (!settled(r, true)) return false;
  AsWritten w = window_of(r);
  std::int64_t value = 0;
  constexpr std::size_t kMaxDigits = std::numeric_limits<Int>::digits10 + 1;
  if (!plain_number(w, kMaxDigits, true, value) || value < std::numeric_limits<Int>::min() ||
      value > std::numeric_limits<Int>::max() || !fielddata_end(w)) {
    return false;
  }
  number = little_endian_bytes<kInt4Size>(static_cast<std::uint32_t>(value));
  leave_as_walked(r, w, "</fielddata>");
  return true;
}

// The end tags after a value's text.
int close_fielddata(Reader& r) {
  if (!take_fielddata_end(r) && (expect(r, "/content") != 0 || expect(r, "/fielddata") != 0))
    return 1;
  return scan(r, "", "fielddata", "/record");
}

// An int2 or int4 value: its head and bytes are written once the element is read.
int read_number_fielddata(Reader& r, Table& t, std::array<std::uint8_t, kFieldDataHeadSize>& head) {
  std::array<std::uint8_t, kInt4Size> number{};
  const bool int2 = head[kFieldDataTypeOffset] == kInt2;
  if (int2 ? take_number_content<std::int16_t>(r, number)
           : take_number_content<std::int32_t>(r, number)) {
    if (scan(r, "", "fielddata", "/record") != 0) return 1;
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

// A string or blob value streams into the output behind its head as it is decoded; the length
// in the head is filled in once the element is read, and so is any write failure reported.
// `b64_as_written`: the content tag was read as the tool writes it, which has the attribute.
int read_streamed_fielddata(Reader& r, Table& t,
                            const std::array<std::uint8_t, kFieldDataHeadSize>& head,
                            bool b64_as_written) {
  const bool is_string = head[kFieldDataTypeOffset] == kString;
  if (!is_string && !b64_as_written && !tag_has(r, kAttrEncoding, kEncodingBase64)) {
    return parse_error(r);
  }
  const std::uint64_t head_at = output_position(t.file);
  (void)output_write(t.file, head);
  Value v;
  v.sink = is_string ? Sink::kString : Sink::kBlob;
  v.out = &t.file;
  if (read_text(r, v) != 0) return 1;
  if (!is_string) {
    if (v.foreign) return parse_error(r);
    std::uint8_t last = 0;
    (void)output_write(t.file, {&last, base64_decode_finish(v.base64, &last)});
  }
  if (close_fielddata(r) != 0) return 1;
  constexpr std::uint8_t kStringEnd = 0;  // a string value ends with a zero byte
  if (is_string) (void)output_write(t.file, {&kStringEnd, 1});
  if (t.file.failed) return write_error(t, "fielddata");
  const std::uint64_t length = output_position(t.file) - head_at - kFieldDataHeadSize;
  return patch_item(t, head_at + kFieldDataLengthOffset,
                    little_endian_bytes<kCountWidth>(static_cast<std::uint32_t>(length)),
                    "fielddata");
}

int read_fielddata(Reader& r, Table& t) {
  std::array<std::uint8_t, kFieldDataHeadSize> head{};
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

int read_record(Reader& r, Table& t) {
  std::uint8_t group = t.default_group;
  if (scan(r, "group", "fielddata") != 0) return 1;
  if (is(r, "secret")) {
    say(r.run.console, kMessageSecret, static_cast<unsigned>(t.nrecord));
    if (expect(r, "/secret") != 0 || scan(r, "group") != 0) return 1;
  }
  if (is(r, "group")) {
    if (read_group(r, t, group) != 0) return 1;
    if (expect(r, "/group") != 0 || scan(r) != 0) return 1;
  }
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

int read_records(Reader& r, Table& t) {
  if (require(r, "records") != 0 || scan(r, "group") != 0) return 1;
  if (is(r, "group")) {
    if (read_group(r, t, t.default_group) != 0) return 1;
    if (expect(r, "/group") != 0 || scan(r) != 0) return 1;
  }
  const std::uint64_t nrecord_at = output_position(t.file);
  if (append(t, little_endian_bytes<kCountWidth>(0), "nrecord") != 0) return 1;
  while (is(r, "record")) {
    if (read_record(r, t) != 0) return 1;
  }
  if (require(r, "/records") != 0) return 1;
  return patch_item(t, nrecord_at, little_endian_bytes<kCountWidth>(t.nrecord), "nrecord");
}

int write_file_head(Table& t) {
  std::array<std::uint8_t, kFileHeaderSize> header = kFileHeaderTemplate;
  header[kHeaderWriteModeOffset] = t.overwrite ? kOverwrite : kAppend;
  if (append(t, header, "header") != 0) return 1;
  return append(t, {reinterpret_cast<const std::uint8_t*>(t.name.data()), kTableNameWidth},
                "table name");
}

// From the table start tag, already scanned, to its end tag; the file is kept only then.
int convert_table(Reader& r, WrittenNames& written) {
  Table t;
  t.outcome = &r.outcome;
  t.overwrite = tag_has(r, kAttrWrite, kWriteOverwrite);
  if (expect_text(r, "name") != 0 || read_name(r, t.name) != 0) return 1;
  if (open_output(t, written, r.run) != 0) return 1;
  if (expect(r, "/name") != 0) return 1;
  say(r.run.console, kMessageWritingTable, t.output_name);
  if (write_file_head(t) != 0 || read_schema(r, t) != 0 || scan(r) != 0) return 1;
  if (read_groups(r, t) != 0 || read_records(r, t) != 0 || expect(r, "/table") != 0) return 1;
  if (output_commit(t.file) != 0)
    return file_error(r.outcome, t.output_name, Failure::kFile, nullptr);
  written.emplace(t.output_name);
  say(r.run.console, kMessageDone);
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
    if (scan(r, "version") != 0) return 1;
    if (is(r, "/header")) break;
    if (!is(r, "version")) continue;
    Value version;
    if (read_short(r, version) != 0) return 1;
    if (version.size != kDocumentVersion.size() || short_text(version) != kDocumentVersion) {
      return parse_error(r);
    }
    if (expect(r, "/version") != 0) return 1;
    has_version = true;
  }
  if (!has_version) return parse_error(r);
  return expect(r, "tables");
}

// Passes over a byte order mark at the start.
void skip_byte_order_mark(InputWindow& in) {
  input_look_ahead(in, kByteOrderMark.size());
  const std::string_view start(reinterpret_cast<const char*>(in.at), input_available(in));
  if (start.starts_with(kByteOrderMark)) in.at += kByteOrderMark.size();
}

int convert_document(Reader& r) {
  skip_byte_order_mark(r.in);
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

}  // namespace

int convert_tblx_to_tbl(const char* path, RunContext& run) {
  if (path == nullptr) return 1;
  if (!has_extension(path, kDocumentExtension)) return 0;
  Reader r(run);
  r.in.ends_at_zero = true;
  if (input_window_open(r.in, path, run.window) != 0) {
    say(run.console, kMessageCannotRead, path);
    return 1;
  }
  say(run.console, kMessageReading, path);
  if (convert_document(r) == 0) return 0;
  report(path, r);
  return 1;
}

}  // namespace tbl2tblx
