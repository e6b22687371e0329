// Markup text primitives: the tag scanner that walks a document tag by tag and counts its lines,
// and the translation of entities and line ends between the binary and the XML form of names
// and string values. No files, no messages.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "io/io.hpp"
#include "markup/byte_scan.hpp"

namespace tbl2tblx {

// ---- Letter case -----------------------------------------------------------------------------

// Element names, type names and file extensions are compared in any letter case: ASCII letters
// only, as names are bytes.
constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `text` is `lower` in any letter case.
constexpr bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

// ---- Tag scanner -----------------------------------------------------------------------------

// The scanner reads a document through an InputWindow (whose stream ends at the first zero
// byte) in one forward pass: tags, and element texts piece by piece, each of any length.

inline constexpr std::size_t kTagBufferSize = 128;
inline constexpr std::size_t kTagMaxChars = 125;  // characters stored between '<' and '>'

// The attributes whose values a scan keeps for its caller (TagScan::keep): at most this many
// names, each of at most kKeptNameSize - 1 characters, and of each value the bytes as written
// (references not yet decoded) up to kKeptValueSize; a longer value is kept as too long.
inline constexpr std::size_t kKeptAttributes = 2;
inline constexpr std::size_t kKeptNameSize = 16;
inline constexpr std::size_t kKeptValueSize = 256;

struct KeptValue {
  std::size_t size = 0;  // bytes as written, counted on past kKeptValueSize
  std::array<char, kKeptValueSize> bytes = {};
};

// Where a scan stands: the line of the '<' of the most recently found tag (1-based), the line
// ends passed from that '<' onwards, how that tag ended as written, and the values of the
// attributes named in `keep` that it holds.
struct TagScan {
  std::int64_t current_line = 1;
  std::int64_t pending_lines = 0;
  bool slash_close = false;  // the tag's '>' came right after a '/' outside any value
  std::array<std::string_view, kKeptAttributes> keep = {};  // lower case; empty: none
  std::uint8_t kept = 0;                                    // bit i: the tag holds keep[i]
  std::array<KeptValue, kKeptAttributes> values = {};
};

// The value as written of the attribute `name` (one of scan.keep) of the last tag found: false
// when the tag has no such attribute. `whole` is false for a value longer than kKeptValueSize,
// of which `value` holds the first bytes.
bool kept_attribute(const TagScan& scan, std::string_view name, std::string_view& value,
                    bool& whole);

// Finds the next tag at or after in.at, passing over text, comments, CDATA sections,
// processing instructions and document type declarations without an internal subset, and
// stores it normalised in `tag` (lower case, white space collapsed, none around '='; a tag whose
// normalised text is longer than kTagMaxChars keeps its first kTagMaxChars characters); in.at
// then stands just past its '>'. A start tag is its name, attributes name="value" or
// name='value' after white space (a value may hold '>'), an optional '/' (or '?' closing the
// declaration) and '>'; an end tag is '/', its name and white space. The values of the
// attributes named in scan.keep are kept. The pending line ends join current_line first; every
// LF before the tag's '<' counts towards current_line, those inside the tag are pending.
// Returns 0 when a tag was found; 1 otherwise, with `tag` empty (or nothing changed at all,
// counters included, when the document has no byte left at in.at): also for a tag that is not
// so formed or that keeps an attribute twice.
[[nodiscard]] int next_tag(InputWindow& in, TagScan& scan, char* tag);

// Whether n bytes at a and b are the same, compared a word at a time (the last word overlapping
// the one before): with a literal's length it inlines to a few loads, where a library compare
// would be a call per tag.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  const auto same = [a, b]<typename Word>(std::size_t at, Word) {
    Word x = 0;
    Word y = 0;
    std::memcpy(&x, a + at, sizeof x);
    std::memcpy(&y, b + at, sizeof y);
    return x == y;
  };
  if (n >= sizeof(std::uint64_t)) {
    for (std::size_t i = 0; i + sizeof(std::uint64_t) < n; i += sizeof(std::uint64_t)) {
      if (!same(i, std::uint64_t{})) return false;
    }
    return same(n - sizeof(std::uint64_t), std::uint64_t{});
  }
  if (n >= sizeof(std::uint32_t))
    return same(0, std::uint32_t{}) && same(n - sizeof(std::uint32_t), std::uint32_t{});
  if (n >= sizeof(std::uint16_t))
    return same(0, std::uint16_t{}) && same(n - sizeof(std::uint16_t), std::uint16_t{});
  return n == 0 || a[0] == b[0];
}

// The tag whose stored form is `name` between '<' and '>', when it stands at in.at written
// exactly so (lower case, no white space, no '=') and whole in the window: taken as next_tag
// takes it, without a copy byte by byte. false, nothing changed, otherwise.
[[nodiscard, gnu::always_inline]] inline bool take_tag_as_written(InputWindow& in, TagScan& scan,
                                                                  char* tag,
                                                                  std::string_view name) {
  const std::size_t length = name.size() + 2;
  if (input_available(in) < length || length >= kTagBufferSize) return false;
  const auto* at = reinterpret_cast<const char*>(in.at);
  if (at[0] != '<' || at[length - 1] != '>') return false;
  if (!same_bytes(at + 1, name.data(), name.size())) return false;
  scan.current_line += scan.pending_lines;
  scan.pending_lines = 0;
  scan.slash_close = false;
  scan.kept = 0;
  tag[0] = '<';
  std::memcpy(tag + 1, name.data(), name.size());
  tag[length - 1] = '>';
  tag[length] = '\0';
  in.at += length;
  return true;
}

// skip_to_markup once the window holds no '<': refills it until one comes or the document ends.
[[nodiscard]] int skip_to_markup_refilling(InputWindow& in, TagScan& scan);

// Passes over text up to the next '<', which in.at then stands on; its LFs are pending. 1 when
// the document ends first (everything passed, every LF counted).
[[nodiscard]] inline int skip_to_markup(InputWindow& in, TagScan& scan) {
  const auto* end = reinterpret_cast<const char*>(in.end);
  const char* angle = find_angle(reinterpret_cast<const char*>(in.at), end, scan.pending_lines);
  in.at = reinterpret_cast<const std::uint8_t*>(angle);
  return angle != end ? 0 : skip_to_markup_refilling(in, scan);
}

// Whether the normalised tag in `tag`, a buffer of kTagBufferSize bytes that are all initialised
// (as the scanner fills it), has the element name `name` ("table", "/table", "secret/"): the
// name follows the '<' and is followed by a space, '>' or "/>". `name` holds no '>' and no zero.
inline bool tag_is(const char* tag, std::string_view name) {
  if (tag[0] == '\0' || name.size() + 3 > kTagBufferSize) return false;
  if (!same_bytes(tag + 1, name.data(), name.size())) return false;
  const char* t = tag + 1 + name.size();
  return *t == ' ' || *t == '>' || (t[0] == '/' && t[1] == '>');
}

// An empty-element tag, "<x/>" or "<x .../>": it opens and closes its element at once.
bool is_empty_element(const char* tag);

// ---- Element texts -----------------------------------------------------------------------------

inline constexpr std::string_view kCommentOpen = "<!--";
inline constexpr std::string_view kCommentClose = "-->";
inline constexpr std::string_view kCdataOpen = "<![CDATA[";
inline constexpr std::string_view kCdataClose = "]]>";
inline constexpr std::string_view kInstructionOpen = "<?";
inline constexpr std::string_view kInstructionClose = "?>";

// An element text runs on across comments and processing instructions, takes the characters of
// CDATA sections as they stand, and ends at the next tag or document type declaration. It is
// walked step by step; character data and CDATA characters come in chunks of any size.
enum class TextEvent : std::uint8_t {
  kData,        // character data [begin, end) of the current piece, more of it may follow
  kBreak,       // a comment or processing instruction was passed: a data piece ends
  kCdataStart,  // a CDATA section opens: a piece of its own
  kCdata,       // characters [begin, end) of the open CDATA section
  kCdataEnd,    // the CDATA section closed
  kStop,        // the text ends at a tag or document type declaration: in.at stands on its '<'
  kEnd,         // the document ends
  kOpenMarkup,  // markup opens that the document ends inside: passed to the end
};

struct TextChunk {
  TextEvent event = TextEvent::kEnd;
  const char* begin = nullptr;
  const char* end = nullptr;
};

struct TextWalk {
  bool in_cdata = false;
  bool met_markup = false;  // a '<' was met: the document went on after the tag
};

// The next step of the element text at in.at; every LF passed is pending. A chunk's bytes are
// taken already: in.at stands at its end. Character data stops at a '<' or, unless the document
// ends first, `lookahead` - 1 bytes before the end of the window, so that every byte of the chunk
// is followed by `lookahead` - 1 more in the window, by a '<' or by the end of the document
// (a caller that decodes a reference running past the chunk's end moves in.at past it).
TextChunk next_text_chunk(InputWindow& in, TagScan& scan, TextWalk& walk,
                          std::size_t lookahead = 1);

// ---- Entities and line ends ------------------------------------------------------------------

// Unescaping, one rule for names and string contents: the five predefined entities (&amp; &lt;
// &gt; &quot; &apos;) and numeric character references (&#N; decimal, &#xH; hexadecimal, 1 to
// 255) become their byte. A line break is CR however it is written: a line end as written (LF,
// CR LF, a lone CR) and a reference to LF or to CR. '&', an XML name and ';' (an entity no
// document can define here), and "&#", characters other than white space, '&' and '<', and ';'
// that are not a reference to a byte, are refused; any other '&' stays as written.

// A reference is read no further than this many characters from its '&': a longer one (name or
// digits all the way) is refused as too long to read.
inline constexpr std::size_t kReferenceLookahead = 40;

// What the '&' at the start of `text` stands for, decoded from at most kReferenceLookahead
// characters of `text`: `length` characters taken. An '&' that starts no entity and no reference
// stands for itself; `valid` is false for a text that the rule above refuses.
struct Ampersand {
  char character;
  std::size_t length;
  bool valid = true;
};
[[nodiscard]] Ampersand decode_ampersand(std::string_view text);

// The state of unescaping that runs on across the chunks of one piece of text.
struct TextDecoder {
  bool after_cr = false;   // the last byte taken was a CR as written
  unsigned char lead = 0;  // a UTF-8 lead byte whose continuation is still to come
  bool refused = false;    // the text holds what no byte of the binary form stands for
};

using ByteSet = std::array<bool, 256>;

inline constexpr unsigned kUtf8LeadTwoBytes = 0xC2;  // C2 and C3 lead U+0080 to U+00FF
inline constexpr unsigned kUtf8ContinuationMask = 0xC0;
inline constexpr unsigned kUtf8Continuation = 0x80;
inline constexpr unsigned kUtf8PayloadBits = 0x3F;
inline constexpr unsigned kUtf8LeadPayloadBits = 0x1F;

// Bytes that unescaping does not take as they stand: LF, '&' where `entities` (not in CDATA),
// and bytes from 128 up where `utf8` (a UTF-8 document).
constexpr ByteSet make_unescape_special_set(bool entities, bool utf8) {
  ByteSet set{};
  set['\n'] = true;
  if (entities) set['&'] = true;
  if (utf8) {
    for (std::size_t c = kUtf8Continuation; c < set.size(); ++c)
      set[c] = true;
  }
  return set;
}
inline constexpr std::array<ByteSet, 4> kUnescapeSpecialSets = {
    make_unescape_special_set(false, false), make_unescape_special_set(false, true),
    make_unescape_special_set(true, false), make_unescape_special_set(true, true)};

// One step of unescaping at p < end: a run of bytes taken as they stand, or one special byte.
// `take` receives the decoded characters (a std::string_view); a reference may read on up to
// `limit`. Returns where the step ended.
template <class Take>
const char* unescape_step(TextDecoder& d, const ByteSet& special, const char* p, const char* end,
                          const char* limit, Take& take) {
  const auto c = static_cast<unsigned char>(*p);
  if (d.lead != 0) {
    if ((c & kUtf8ContinuationMask) != kUtf8Continuation) {
      d.refused = true;
    } else {
      const char decoded =
          static_cast<char>(((d.lead & kUtf8LeadPayloadBits) << 6) | (c & kUtf8PayloadBits));
      take(std::string_view(&decoded, 1));
      d.lead = 0;
    }
    d.after_cr = false;
    return p + 1;
  }
  const char* run = p;
  while (p < end && !special[static_cast<unsigned char>(*p)])
    ++p;
  if (p != run) {
    take(std::string_view(run, static_cast<std::size_t>(p - run)));
    d.after_cr = p[-1] == '\r';
    return p;
  }
  if (c == '\n') {
    if (!d.after_cr) take(std::string_view("\r", 1));
    ++p;
  } else if (c == '&') {
    const Ampersand decoded = decode_ampersand({p, static_cast<std::size_t>(limit - p)});
    d.refused = !decoded.valid;
    if (decoded.valid) take(std::string_view(&decoded.character, 1));
    p += decoded.length;
  } else if ((c & ~1u) == kUtf8LeadTwoBytes) {
    d.lead = c;
    ++p;
  } else {
    d.refused = true;
  }
  d.after_cr = false;
  return p;
}

// Unescapes the chunk [p, end) by the rule above: entities and numeric character references
// where `entities` (a reference may read on up to `limit`), line ends, and UTF-8 where `utf8`.
// Returns where unescaping stopped: `end`, past it when a reference ran on, or anywhere once
// the text is refused.
template <class Take>
const char* unescape_chunk(TextDecoder& d, bool entities, bool utf8, const char* p, const char* end,
                           const char* limit, Take&& take) {
  const ByteSet& special = kUnescapeSpecialSets[(entities ? 2u : 0u) + (utf8 ? 1u : 0u)];
  while (p < end && !d.refused)
    p = unescape_step(d, special, p, end, limit, take);
  return p;
}

// A piece of text ends: a UTF-8 sequence cut short by it is refused.
inline void end_unescape_piece(TextDecoder& d) {
  if (d.lead != 0) d.refused = true;
  d.lead = 0;
  d.after_cr = false;
}

// How far one call of escape_content got.
struct EscapeProgress {
  std::size_t consumed = 0;  // input bytes taken
  std::size_t written = 0;   // output bytes produced
  bool done = false;         // the end of the data or a zero byte was reached
};

// Worst-case output bytes for one input byte ("&amp;").
inline constexpr std::size_t kEscapeMaxExpansion = 5;

// Escapes string data into `dest` as it stands in a written document: entities for '&', '<'
// and '>', each line break (CR LF, a lone CR, an LF) as the document line end CR LF. Stops at the
// end of the data or at the first zero byte (done), or when `dest` has no room for the worst
// case of the next byte; call again with the rest. A CR LF pair is never split between calls.
[[nodiscard]] EscapeProgress escape_content(std::span<const std::uint8_t> data,
                                            std::span<char> dest);

// escape_content for the common short value, with no branch on its length: escapes the
// `length` (at most kEscapeBlock) bytes at `data` up to their first zero byte into `dest` and
// returns the bytes written. Whatever the length, it reads kEscapeShortRead bytes at `data` and
// may write up to kEscapeShortRoom bytes at `dest`; the bytes after those returned are scratch.
inline constexpr std::size_t kEscapeShortRead = 2 * kEscapeBlock;
inline constexpr std::size_t kEscapeShortRoom = kEscapeBlock * (kEscapeMaxExpansion + 1);
[[nodiscard]] std::size_t escape_short_content(const std::uint8_t* data, std::size_t length,
                                               char* dest);

}  // namespace tbl2tblx
