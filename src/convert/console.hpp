// The console: every message and progress line of a run reaches one descriptor through here.
// A message ends the progress line on its own, so no caller keeps that rule by hand. Off a
// terminal, bytes are gathered and written in pieces that each end at the end of a message or
// a progress line, so that runs sharing a log interleave whole lines only.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace tbl2tblx {

// How progress lines are shown.
enum class ProgressPolicy : std::uint8_t {
  kEveryRecord,  // redirected: every line, exactly
  kTerminal,     // a terminal: redrawn at most about 20 times a second, the last line always
};

inline constexpr std::size_t kProgressBackspaces = 80;
inline constexpr std::size_t kProgressNameChars = 64;  // of a table name, at the most

// The line being shown. Its prefix (backspaces, tab, table name, marker) stays the same for a
// whole table, so only the numbers after it are rewritten for each record.
struct ProgressLine {
  char text[kProgressBackspaces + 128] = {};
  std::size_t prefix = 0;  // bytes up to and including the marker
  std::size_t length = 0;
  std::uint64_t count = 0;       // the count shown after the prefix
  std::size_t count_length = 0;  // its digits; 0: the text after the prefix is not known
  bool has_total = false;
  std::uint64_t total = 0;   // the total whose text is total_text
  char total_text[24] = {};  // "/<total>"
  std::size_t total_length = 0;
  char table[kProgressNameChars] = {};
  std::size_t table_length = 0;
  bool overwrite = false;
  bool skipped = false;  // the latest line was not shown yet (a terminal's redraw was not due)
};

struct Console {
  int fd = STDOUT_FILENO;
  ProgressPolicy policy = ProgressPolicy::kEveryRecord;
  // Bytes wait here until a piece would not fit; 0 writes every message and line at once.
  std::size_t capacity = 0;
  std::unique_ptr<char[]> buffer;
  std::size_t used = 0;
  bool failed = false;  // a write failed: nothing more is written, the run fails
  ProgressLine line;
  std::chrono::steady_clock::time_point shown{};  // the last redraw on a terminal
  // Control characters of names and paths are shown escaped (a terminal would obey them).
  bool escape_controls = false;

  Console() = default;
  Console(Console&&) = default;
  Console& operator=(Console&&) = default;
  ~Console();
};

// The console on `fd`, as it suits what `fd` is: a terminal is written at once and its progress
// redrawn a few times a second; a pipe in pieces that it takes whole (PIPE_BUF); anything else
// (a file, /dev/null) in large pieces.
Console console_on(int fd);

// Says one message (a printf format and its values): the progress line is ended first. On a
// console that escapes control characters, the formats take %s, %.*s, %d, %u and %% only.
[[gnu::format(printf, 2, 3)]] void say(Console& console, const char* format, ...);

// The progress line after each record: eighty backspaces, then "\t<table>: <marker><count>"
// with "/<total>" when a total is given, and a blank.
void show_progress(Console& console, std::string_view table, bool overwrite, std::uint64_t count,
                   const std::uint64_t* total);

// Shows the last progress line if a terminal skipped it. say() calls it; call it directly before
// output that does not go through the console.
void end_progress(Console& console);

// Writes out what waits. 1 once any write of the console has failed.
[[nodiscard]] int console_flush(Console& console);

}  // namespace tbl2tblx
