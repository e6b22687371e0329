// The names of the files a run reads and writes: which direction a name is converted in, and
// what the outputs are called.
#pragma once

#include <string>
#include <string_view>

#include "convert/calendar.hpp"

namespace tbl2tblx {

// Whether `path` ends with `extension` (given in lower case) in any letter case, and is more
// than the extension alone.
bool has_extension(std::string_view path, std::string_view extension);

// The document made from the table `path`: its base name with the extension replaced, so that
// "data/PHONE.TBL" gives "PHONE.tblx".
std::string document_name_for(std::string_view path);

// The file made from the table named `table`: "<table>.tbl".
std::string table_file_name(std::string_view table);

// Whether a table's name would leave the output folder as a file name.
bool names_a_folder(std::string_view table);

// The name a table's file falls back to when its own cannot be written: the time, to the second.
std::string fallback_file_name(const CalendarTime& time);

// Where a fallback name stands taken, the next second's names tried, at most this many.
inline constexpr int kFallbackNextSeconds = 3;

}  // namespace tbl2tblx
