#include "convert/console.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "io/io.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

constexpr std::size_t kFileBuffer = std::size_t{64} << 10;
// A pipe takes a write of up to PIPE_BUF bytes whole, whoever else writes to it.
constexpr std::size_t kPipeBuffer = PIPE_BUF;
constexpr auto kTerminalRefresh = std::chrono::milliseconds(50);
constexpr std::size_t kShortMessage = 512;

void write_out(Console& console, const char* bytes, std::size_t length) {
  if (console.failed || length == 0) return;
  if (write_all(console.fd, bytes, length) != 0) console.failed = true;
}

void flush_buffer(Console& console) {
  write_out(console, console.buffer.get(), console.used);
  console.used = 0;
}

void put_piece_through(Console& console, const char* bytes, std::size_t length) {
  if (console.capacity == 0) return write_out(console, bytes, length);
  flush_buffer(console);
  if (length > console.capacity) return write_out(console, bytes, length);
  std::memcpy(console.buffer.get(), bytes, length);
  console.used = length;
}

// One message or progress line: it never straddles two writes unless it alone is larger than
// the buffer. A progress line after every record is the common case: it is copied in place.
[[gnu::always_inline]] inline void put_piece(Console& console, const char* bytes,
                                             std::size_t length) {
  if (length > console.capacity - console.used) return put_piece_through(console, bytes, length);
  std::memcpy(console.buffer.get() + console.used, bytes, length);
  console.used += length;
}

// ---- Control characters on a terminal
// ------------------------------------------------------------

constexpr std::size_t kLongestEscape = 4;  // "\ooo"

// `byte` as `ls -b` shows it: a C escape or three octal digits for a control character, a
// backslash doubled, anything else itself. The end of what was written.
char* put_shown_byte(char* at, unsigned char byte) {
  constexpr std::string_view kLetters = "abtnvfr";  // for 7 to 13
  constexpr unsigned char kFirstLettered = '\a';
  constexpr unsigned char kDelete = 0x7F;
  if (byte >= ' ' && byte != kDelete && byte != '\\') {
    *at++ = static_cast<char>(byte);
    return at;
  }
  *at++ = '\\';
  if (byte == '\\') {
    *at++ = '\\';
  } else if (byte >= kFirstLettered && byte < kFirstLettered + kLetters.size()) {
    *at++ = kLetters[byte - kFirstLettered];
  } else {
    constexpr int kOctalBits = 3;
    constexpr unsigned kOctalDigit = 7;
    for (int shift = 2 * kOctalBits; shift >= 0; shift -= kOctalBits)
      *at++ = static_cast<char>('0' + ((unsigned{byte} >> shift) & kOctalDigit));
  }
  return at;
}

// `name` shown so, in at most `room` bytes, never cutting an escape.
char* put_shown(char* at, std::size_t room, std::string_view name) {
  char* const end = at + room;
  for (const char c : name) {
    char shown[kLongestEscape];
    const auto length =
        static_cast<std::size_t>(put_shown_byte(shown, static_cast<unsigned char>(c)) - shown);
    if (length > static_cast<std::size_t>(end - at)) break;
    at = std::copy(shown, shown + length, at);
  }
  return at;
}

void append_shown(std::string& text, std::string_view name) {
  const std::size_t size = text.size();
  text.resize(size + name.size() * kLongestEscape);
  char* const end = put_shown(text.data() + size, name.size() * kLongestEscape, name);
  text.resize(static_cast<std::size_t>(end - text.data()));
}

// A message whose names are shown escaped: the conversions of the tool's formats, with every
// text argument passed through append_shown.
std::string format_shown(const char* format, std::va_list values) {
  std::string text;
  for (const char* at = format; *at != '\0'; ++at) {
    if (*at != '%') {
      text += *at;
      continue;
    }
    const std::string_view conversion(++at);
    if (conversion.starts_with("s")) {
      append_shown(text, va_arg(values, const char*));
    } else if (conversion.starts_with(".*s")) {
      const int length = va_arg(values, int);
      const char* chars = va_arg(values, const char*);
      append_shown(text, {chars, strnlen(chars, static_cast<std::size_t>(length))});
      at += 2;
    } else if (conversion.starts_with("d")) {
      text += std::to_string(va_arg(values, int));
    } else if (conversion.starts_with("u")) {
      text += std::to_string(va_arg(values, unsigned));
    } else {
      assert(conversion.starts_with("%"));
      text += '%';
    }
  }
  return text;
}

// ---- The progress line -------------------------------------------------------------------------

// The flag is read only when the prefix changes: not once per record.
void set_prefix(ProgressLine& line, std::string_view table, bool overwrite, const bool& escape) {
  table = table.substr(0, kProgressNameChars);
  // Compared a word at a time: a library compare would be a call for every record.
  if (line.prefix > 0 && line.overwrite == overwrite && table.size() == line.table_length &&
      same_bytes(table.data(), line.table, table.size())) {
    return;
  }
  std::copy(table.begin(), table.end(), line.table);
  line.table_length = table.size();
  line.overwrite = overwrite;
  char* at = line.text;
  std::memset(at, '\b', kProgressBackspaces);
  at += kProgressBackspaces;
  *at++ = '\t';
  at =
      escape ? put_shown(at, kProgressNameChars, table) : std::copy(table.begin(), table.end(), at);
  *at++ = ':';
  *at++ = ' ';
  if (!overwrite) *at++ = '+';
  line.prefix = static_cast<std::size_t>(at - line.text);
  line.count_length = 0;
}

// Redrawing a terminal line for each of millions of records would cost more than the
// conversion itself, and nobody reads faster than a few updates a second.
bool due_on_terminal(Console& console) {
  const auto now = std::chrono::steady_clock::now();
  if (now - console.shown < kTerminalRefresh) return false;
  console.shown = now;
  return true;
}

// "/<total>", rendered again only when the total changes.
std::string_view total_text(ProgressLine& line, std::uint64_t total) {
  if (line.total_length == 0 || line.total != total) {
    line.total_text[0] = '/';
    char* end = std::to_chars(line.total_text + 1, std::end(line.total_text), total).ptr;
    line.total_length = static_cast<std::size_t>(end - line.total_text);
    line.total = total;
  }
  return {line.total_text, line.total_length};
}

// Counts up the decimal count shown in the line, in place: what follows it stays where it is.
// False when a carry would make it one digit longer.
bool count_up(ProgressLine& line) {
  char* const first = line.text + line.prefix;
  for (char* digit = first + line.count_length; digit-- > first;) {
    if (*digit != '9') {
      ++*digit;
      return true;
    }
    *digit = '0';
  }
  return false;
}

// The text after the prefix: the count, "/<total>" when there is one, and a blank.
void render_count(ProgressLine& line, std::uint64_t count, const std::uint64_t* total) {
  char* const end = line.text + sizeof line.text;
  char* at = std::to_chars(line.text + line.prefix, end, count).ptr;
  line.count_length = static_cast<std::size_t>(at - (line.text + line.prefix));
  if (total != nullptr) {
    const std::string_view text = total_text(line, *total);
    at = std::copy(text.begin(), text.end(), at);
  }
  *at++ = ' ';
  line.length = static_cast<std::size_t>(at - line.text);
}

void show_line(Console& console) {
  put_piece(console, console.line.text, console.line.length);
  console.line.skipped = false;
}

}  // namespace

Console::~Console() {
  if (buffer != nullptr) flush_buffer(*this);
}

Console console_on(int fd) {
  Console console;
  console.fd = fd;
  if (isatty(fd) != 0) {
    console.policy = ProgressPolicy::kTerminal;
    console.escape_controls = true;
    return console;
  }
  struct stat status {};
  const bool pipe =
      fstat(fd, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
  console.capacity = pipe ? kPipeBuffer : kFileBuffer;
  console.buffer = std::make_unique<char[]>(console.capacity);
  return console;
}

void say(Console& console, const char* format, ...) {
  end_progress(console);
  std::va_list values;
  if (console.escape_controls) {
    va_start(values, format);
    const std::string text = format_shown(format, values);
    va_end(values);
    return put_piece(console, text.data(), text.size());
  }
  char text[kShortMessage];
  va_start(values, format);
  const int length = std::vsnprintf(text, sizeof text, format, values);
  va_end(values);
  if (length < 0) return;
  if (static_cast<std::size_t>(length) < sizeof text) {
    return put_piece(console, text, static_cast<std::size_t>(length));
  }
  std::string long_text(static_cast<std::size_t>(length) + 1, '\0');
  va_start(values, format);
  std::vsnprintf(long_text.data(), long_text.size(), format, values);
  va_end(values);
  put_piece(console, long_text.data(), static_cast<std::size_t>(length));
}

void show_progress(Console& console, std::string_view table, bool overwrite, std::uint64_t count,
                   const std::uint64_t* total) {
  ProgressLine& line = console.line;
  set_prefix(line, table, overwrite, console.escape_controls);
  // Records are counted one by one: most lines differ from the one before in the last digits.
  const bool same_tail = line.count_length > 0 && count == line.count + 1 &&
                         line.has_total == (total != nullptr) &&
                         (total == nullptr || *total == line.total);
  if (!same_tail || !count_up(line)) render_count(line, count, total);
  line.count = count;
  line.has_total = total != nullptr;
  line.skipped = console.policy == ProgressPolicy::kTerminal && !due_on_terminal(console);
  if (!line.skipped) show_line(console);
}

void end_progress(Console& console) {
  if (console.line.skipped) show_line(console);
}

int console_flush(Console& console) {
  if (console.buffer != nullptr) flush_buffer(console);
  return console.failed ? 1 : 0;
}

}  // namespace tbl2tblx
