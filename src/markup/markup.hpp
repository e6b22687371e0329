// Markup text primitives: the tag scanner that walks a document tag by tag and counts its lines,
// and the translation of entities and line ends between the binary and the XML form of names
// and string values. No files, no messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tbl2tblx {

// ---- Tag scanner -----------------------------------------------------------------------------

inline constexpr std::size_t kTagBufferSize = 128;
inline constexpr std::size_t kTagMaxChars = 125;  // characters stored between '<' and '>'

// Line of the '<' of the most recently found tag (1-based), and the line ends the last scan
// passed from that '<' onwards. A reader sets them to 1 and 0 before each document.
extern std::int32_t current_line;
extern std::int32_t pending_lines;

// Finds the next tag at or after `text` (a zero-terminated text; never its terminating zero),
// skipping comments, and stores it normalised in `tag` (lower case, white space collapsed, none
// around '='). `content_start` receives the position after the tag's '>'; `next_tag_pos` the
// first '<' after it, or nullptr when the text ends first. Returns 0 when a tag was found; 1
// otherwise, with `tag` empty and both positions nullptr (or nothing changed at all, counters
// included, when an argument is missing or `text` stands on the terminating zero).
int next_tag(const char* text, char* tag, const char** content_start, const char** next_tag_pos);

// 0 when the normalised `tag` has the element name `name` ("table", "/table", "secret/"):
// the name follows the '<' and is followed by a space or '>'. 1 otherwise.
int tag_is(const char* tag, const char* name);

// Whether the normalised `tag` holds `name="value"` or `name='value'` (anywhere in it, as
// attributes are matched by their normalised text).
bool tag_has_attribute(const char* tag, std::string_view name, std::string_view value);

// The value of the attribute `name` of a normalised start tag, in either quotes; false when the
// tag has no such attribute.
bool tag_attribute(const char* tag, std::string_view name, std::string_view& value);

// An empty-element tag, "<x/>" or "<x .../>": it opens and closes its element at once.
bool is_empty_element(const char* tag);

// ---- Markup that is not a tag ----------------------------------------------------------------

inline constexpr std::string_view kCommentOpen = "<!--";
inline constexpr std::string_view kCommentClose = "-->";
inline constexpr std::string_view kCdataOpen = "<![CDATA[";
inline constexpr std::string_view kCdataClose = "]]>";

// What a '<' opens. Comments, CDATA sections, processing instructions and a document type
// declaration without an internal subset are passed over where a tag is looked for; the XML
// declaration and a document type declaration with an internal subset stand as tags (the
// latter for a reader to refuse: no entity declaration is ever read).
enum class Markup : std::uint8_t { kTag, kComment, kCdata, kInstruction, kDoctype };
Markup markup_declaration_at(const char* p);  // for a '<' followed by '!' or '?'
inline Markup markup_at(const char* p) {
  return p[1] == '!' || p[1] == '?' ? markup_declaration_at(p) : Markup::kTag;
}

// The position just after the markup of `kind` that opens at `p`, or nullptr when the text ends
// before its close. `p` itself for a tag.
const char* markup_end(const char* p, Markup kind);

// One piece of an element's text: character data, or the characters of a CDATA section.
struct TextPiece {
  const char* begin = nullptr;
  const char* end = nullptr;
  bool cdata = false;
};

// The next piece of the element text at `p` (the text runs on across comments and processing
// instructions, and takes CDATA sections' characters as they stand); `p` moves past it. false at
// the next tag, at the end of the text, or at markup that the text ends inside; `p` then stands
// there.
bool next_text_piece(const char*& p, TextPiece& piece);

// ---- Character sets --------------------------------------------------------------------------

// Decodes UTF-8 text into the bytes of the characters U+0001 to U+00FF it holds, writing
// `written` bytes to `dest` (which may be text.data(): the result is never longer). 1 when the
// text is not UTF-8 or holds a character above U+00FF.
int utf8_to_latin1(std::string_view text, char* dest, std::size_t& written);

// ---- Entities and line ends ------------------------------------------------------------------

inline constexpr std::size_t kMaxEscapedNameChars = 30;
inline constexpr std::size_t kNameBufferSize = 152;  // thirty "&amp;" and a zero

// Names are escaped into it for printing and group references unescaped into it for comparing.
extern char name_buffer[kNameBufferSize];

// Escapes a name ('&', '<', '>' as entities; CR LF and a lone CR as LF) into `dest` with a
// terminating zero; returns the characters written. 0 (and `dest` unchanged) for a missing or
// empty source, a missing destination, or a source longer than 30 characters.
std::size_t escape_name(const char* source, char* dest);

// What unescaping made of a text. `valid` is false when the text holds a numeric character
// reference that stands for no byte (0, above 255, or too many digits to hold a value): the
// text is refused, and what was written is to be ignored.
struct Unescaped {
  std::size_t length = 0;  // characters written, the terminating zero of a name not counted
  bool valid = true;
};

// Unescaping, one rule for names and string contents: the five predefined entities (&amp; &lt;
// &gt; &quot; &apos;) and numeric character references (&#N; decimal, &#xH; hexadecimal, 1 to
// 255) become their byte, a decoded CR or LF included; any other '&' stays as written. A line
// end written as such becomes CR: LF as CR, an LF after a CR dropped.

// Unescapes a name into `dest`: at most `max_chars` characters (never more than 30) and a
// terminating zero. Length 0 with `dest` unchanged for a missing or empty source or a missing
// destination.
Unescaped unescape_name(std::string_view source, char* dest,
                        std::size_t max_chars = kMaxEscapedNameChars);

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
EscapeProgress escape_content(std::span<const std::uint8_t> data, std::span<char> dest);

// Unescapes the text of a content element into `dest` (no zero is added). The result is never
// longer than the text, so `dest` may be text.data() itself.
Unescaped unescape_content(std::string_view text, char* dest);

// Translates the line ends of text that holds no entities (a CDATA section's) as
// unescape_content does; `dest` may be text.data().
std::size_t translate_line_ends(std::string_view text, char* dest);

}  // namespace tbl2tblx
