#include "convert/element_text.hpp"

#include <algorithm>
#include <cstring>

#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

// Digits are added up no higher than this: above every field's range, and far from overflow.
constexpr std::int64_t kMagnitudeCap = std::int64_t{1} << 40;

void add_digit(Value& v, char c) {
  v.magnitude = std::min(v.magnitude * 10 + (c - '0'), kMagnitudeCap);
}

void add_number_char(Value& v, char c) {
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
  if (v.part == NumberPart::kDigits) add_digit(v, c);
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
          add_digit(v, c);
        } else {
          add_number_char(v, c);
        }
      }
      return;
    case Sink::kString:
      (void)output_write(*v.out, text);  // a failure is sticky: reported once the element is read
      return;
    case Sink::kBlob:
      base64_form_step(v.form, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
      decode_base64_into(v, text);
      return;
  }
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

// The usual text, read directly (as_written.hpp states the contract): characters that stand for
// themselves, up to the '<' of a tag, all in the window. false (nothing taken) for any other.
bool read_plain_text(Reader& r, Value& v) {
  if (!r.run.direct_reads) return false;
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

}  // namespace

std::string_view short_text(const Value& v) {
  return {v.chars.data(), std::min(v.size, v.chars.size())};
}

bool short_text_is(const Value& v, std::string_view lower) {
  return v.size == lower.size() && equals_ignoring_case(short_text(v), lower);
}

int read_attribute(Reader& r, std::string_view name, bool& present, Value& v) {
  std::string_view value;
  bool whole = true;
  present = kept_attribute(r.scan, name, value, whole);
  if (!present) return 0;
  if (!whole) {
    v.size = kKeptValueSize + 1;  // longer than any value it is compared with
    return 0;
  }
  TextDecoder d;
  const char* end = value.data() + value.size();
  decode_chunk(v, d, true, r.utf8, value.data(), end, end);
  end_unescape_piece(d);
  return d.refused ? parse_error(r) : 0;
}

int read_text(Reader& r, Value& v) {
  if (r.after != After::kText) return 0;  // an empty element
  r.after = After::kMarkup;
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
        r.after = After::kEnd;
        return 0;
      case TextEvent::kOpenMarkup:
        if (walk.in_cdata) {
          v = before_cdata;
        } else {
          end_unescape_piece(d);
          if (d.refused) return parse_error(r);
        }
        r.after = After::kOpenMarkup;
        return 0;
    }
  }
}

int read_number(Reader& r, std::int64_t min, std::int64_t max, std::int64_t& value) {
  Value v;
  v.sink = Sink::kNumber;
  if (read_text(r, v) != 0) return 1;
  if (v.part != NumberPart::kDigits && v.part != NumberPart::kTrail) return parse_error(r);
  value = v.negative ? -v.magnitude : v.magnitude;
  return value >= min && value <= max ? 0 : parse_error(r);
}

int read_byte(Reader& r, std::uint8_t& byte) {
  std::int64_t value = 0;
  if (read_number(r, 0, std::numeric_limits<std::uint8_t>::max(), value) != 0) return 1;
  byte = static_cast<std::uint8_t>(value);
  return 0;
}

int read_type(Reader& r, std::uint8_t& code) {
  Value v;
  if (read_text(r, v) != 0) return 1;
  for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
    if (v.size == kTypeNames[i].size() && ascii_lower(v.chars[0]) == kTypeNames[i][0] &&
        equals_ignoring_case(short_text(v), kTypeNames[i])) {
      code = static_cast<std::uint8_t>(i);
      return 0;
    }
  }
  return parse_error(r);
}

int read_name(Reader& r, Name& name) {
  Value v;
  if (read_text(r, v) != 0) return 1;
  if (v.size > kMaxNameChars) return parse_error(r);
  name = {};
  std::memcpy(name.data(), v.chars.data(), v.size);
  return 0;
}

int read_group(Reader& r, std::span<const Name> groups, std::uint8_t& group) {
  Value v;
  if (read_text(r, v) != 0) return 1;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (v.size <= kMaxNameChars && short_text(v) == std::string_view(groups[i].data())) {
      group = static_cast<std::uint8_t>(i);
      return 0;
    }
  }
  return parse_error(r);
}

int read_version(Reader& r) {
  Value version;
  if (read_text(r, version) != 0) return 1;
  const bool known =
      version.size == kDocumentVersion.size() && short_text(version) == kDocumentVersion;
  return known ? 0 : parse_error(r);
}

}  // namespace tbl2tblx
