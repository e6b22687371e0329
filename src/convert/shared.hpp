// What the two directions of conversion share besides the formats: names compared in any
// letter case, and the calendar time the tool stamps on what it writes.
#pragma once

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

}  // namespace tbl2tblx
