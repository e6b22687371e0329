#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "convert/convert.hpp"
#include "markup/markup.hpp"

namespace tbl2tblx {
namespace {

constexpr std::size_t kBackspaces = 80;
constexpr std::size_t kShownNameChars = 64;
constexpr auto kTerminalRefresh = std::chrono::milliseconds(50);

// The line being shown. Its prefix (backspaces, tab, table name, marker) stays the same for a
// whole table, so only the numbers after it are rewritten for each record.
struct ProgressLine {
  char text[kBackspaces + 128];
  std::size_t prefix = 0;  // bytes up to and including the marker
  std::size_t length = 0;
  std::uint64_t count = 0;       // the count shown after the prefix, when counted
  std::size_t count_length = 0;  // its digits; 0: the text after the prefix is not known
  bool has_total = false;
  char table[kShownNameChars];
  std::size_t table_length = 0;
  bool overwrite = false;
  std::uint64_t total = 0;  // the total whose text is total_text
  char total_text[24];      // "/<total>"
  std::size_t total_length = 0;
  bool skipped = false;  // the latest line was not shown yet
  bool terminal = false;  // shown as on a terminal, by the policy of the latest line
};
ProgressLine progress;

void set_prefix(std::string_view table, bool overwrite) {
  table = table.substr(0, kShownNameChars);
  if (progress.prefix > 0 && progress.overwrite == overwrite &&
      table.size() == progress.table_length &&
      same_bytes(table.data(), progress.table, table.size())) {
    return;
  }
  std::copy(table.begin(), table.end(), progress.table);
  progress.table_length = table.size();
  progress.overwrite = overwrite;
  char* at = progress.text;
  std::memset(at, '\b', kBackspaces);
  at += kBackspaces;
  *at++ = '\t';
  at = std::copy(table.begin(), table.end(), at);
  *at++ = ':';
  *at++ = ' ';
  if (!overwrite) *at++ = '+';
  progress.prefix = static_cast<std::size_t>(at - progress.text);
  progress.count_length = 0;
}

// Redrawing a terminal line for each of millions of records would cost more than the
// conversion itself, and nobody reads faster than a few updates a second.
bool due_on_terminal() {
  using Clock = std::chrono::steady_clock;
  static Clock::time_point shown{};
  Clock::time_point now = Clock::now();
  if (now - shown < kTerminalRefresh) return false;
  shown = now;
  return true;
}

// "/<total>", rendered again only when the total changes.
std::string_view total_text(std::uint64_t total) {
  if (progress.total_length == 0 || progress.total != total) {
    progress.total_text[0] = '/';
    char* end = std::to_chars(progress.total_text + 1, std::end(progress.total_text), total).ptr;
    progress.total_length = static_cast<std::size_t>(end - progress.total_text);
    progress.total = total;
  }
  return {progress.total_text, progress.total_length};
}

// Redirected, a line goes out after each of millions of records: the lines are gathered here
// and handed to the stream in large pieces, which costs a fraction of a stream call per line.
// Whatever the tool prints after progress lines comes after end_progress, which hands them on.
constexpr std::size_t kPendingSize = std::size_t{64} << 10;
struct PendingLines {
  char text[kPendingSize];
  std::size_t used = 0;
};
PendingLines pending;

void hand_on_pending() {
  if (pending.used == 0) return;
  fwrite_unlocked(pending.text, 1, pending.used, stdout);
  pending.used = 0;
}

void show(const ProgressLine& line) {
  if (line.terminal) {
    hand_on_pending();
    std::fwrite(line.text, 1, line.length, stdout);
    std::fflush(stdout);
    return;
  }
  if (kPendingSize - pending.used < line.length) hand_on_pending();
  std::memcpy(pending.text + pending.used, line.text, line.length);
  pending.used += line.length;
}

// Counts up the decimal count shown in the line, in place: what follows it stays where it is.
// False when a carry would make it one digit longer.
bool count_up() {
  char* const first = progress.text + progress.prefix;
  for (char* digit = first + progress.count_length; digit-- > first;) {
    if (*digit != '9') {
      ++*digit;
      return true;
    }
    *digit = '0';
  }
  return false;
}

// The text after the prefix: the count, "/<total>" when there is one, and a blank.
void render_count(std::uint64_t count, const std::uint64_t* total) {
  char* const end = progress.text + sizeof progress.text;
  char* at = std::to_chars(progress.text + progress.prefix, end, count).ptr;
  progress.count_length = static_cast<std::size_t>(at - (progress.text + progress.prefix));
  if (total != nullptr) {
    const std::string_view text = total_text(*total);
    at = std::copy(text.begin(), text.end(), at);
  }
  *at++ = ' ';
  progress.length = static_cast<std::size_t>(at - progress.text);
}

}  // namespace

void print_progress(std::string_view table, bool overwrite, std::uint64_t count,
                    const std::uint64_t* total, ProgressPolicy policy) {
  set_prefix(table, overwrite);
  // Records are counted one by one: most lines differ from the one before in the last digits.
  const bool same_tail = progress.count_length > 0 && count == progress.count + 1 &&
                         progress.has_total == (total != nullptr) &&
                         (total == nullptr || *total == progress.total);
  if (!same_tail || !count_up()) render_count(count, total);
  progress.count = count;
  progress.has_total = total != nullptr;
  progress.terminal = policy == ProgressPolicy::kTerminal;
  progress.skipped = progress.terminal && !due_on_terminal();
  if (!progress.skipped) show(progress);
}

void end_progress() {
  if (progress.skipped) show(progress);
  progress.skipped = false;
  hand_on_pending();
}

}  // namespace tbl2tblx
