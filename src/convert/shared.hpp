// What the two directions of conversion share besides the formats: names compared in any
// letter case, the calendar time the tool stamps on what it writes, and the powers of ten that
// numbers are written and read with.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <string_view>

namespace tbl2tblx {

inline char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `text` is `lower` in any letter case (ASCII letters only: names are bytes).
inline bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

// Whether `path` ends with `extension` (given in lower case) in any letter case, and is more
// than the extension alone.
inline bool has_extension(std::string_view path, std::string_view extension) {
  return path.size() > extension.size() &&
         equals_ignoring_case(path.substr(path.size() - extension.size()), extension);
}

// A moment as documents and file names show it: the full year, months from 1.
struct CalendarTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

CalendarTime calendar_time(const std::tm& broken_down);

// The local time now; all zero when it cannot be told.
CalendarTime local_time_now();

// 1, 10, 100, ...: the first N powers of ten.
template <class Int, std::size_t N>
consteval std::array<Int, N> powers_of_ten() {
  std::array<Int, N> powers{};
  Int power = 1;
  for (Int& p : powers) {
    p = power;
    power *= 10;
  }
  return powers;
}

}  // namespace tbl2tblx
