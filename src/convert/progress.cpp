#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "convert/convert.hpp"

namespace tbl2tblx {
namespace {

constexpr std::size_t kBackspaces = 80;
constexpr auto kTerminalRefresh = std::chrono::milliseconds(50);

bool stdout_is_terminal() {
  static const bool terminal = isatty(STDOUT_FILENO) != 0;
  return terminal;
}

// On a terminal, redrawing the line for each of millions of records would cost more than the
// conversion; a person cannot read faster than a few updates a second anyway.
bool due_on_terminal(bool last) {
  using Clock = std::chrono::steady_clock;
  static Clock::time_point shown{};
  Clock::time_point now = Clock::now();
  if (!last && now - shown < kTerminalRefresh) return false;
  shown = now;
  return true;
}

char* put_number(char* at, char* end, std::uint64_t value) {
  return std::to_chars(at, end, value).ptr;
}

}  // namespace

void print_progress(std::string_view table, bool overwrite, std::uint64_t count,
                    const std::uint64_t* total, bool last) {
  const bool terminal = stdout_is_terminal();
  if (terminal && !due_on_terminal(last)) return;
  char line[kBackspaces + 128];
  char* const end = line + sizeof line;
  char* at = line;
  std::memset(at, '\b', kBackspaces);
  at += kBackspaces;
  *at++ = '\t';
  table = table.substr(0, 64);
  at = std::copy(table.begin(), table.end(), at);
  *at++ = ':';
  *at++ = ' ';
  if (!overwrite) *at++ = '+';
  at = put_number(at, end, count);
  if (total != nullptr) {
    *at++ = '/';
    at = put_number(at, end, *total);
  }
  *at++ = ' ';
  std::fwrite(line, 1, static_cast<std::size_t>(at - line), stdout);
  if (terminal) std::fflush(stdout);
}

}  // namespace tbl2tblx
