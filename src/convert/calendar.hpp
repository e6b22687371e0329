// The calendar time the tool stamps on what it writes: the date in a document's header and the
// name a table's file falls back to.
#pragma once

namespace tbl2tblx {

// A moment as documents and file names show it: the full year, months from 1.
struct CalendarTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// The local time now, or `later` seconds from now; all zero when it cannot be told.
CalendarTime local_time_now(int later = 0);

// The date a document's header shows: SOURCE_DATE_EPOCH when it is a decimal number of seconds
// since 1970 (digits only) up to the end of the year 9999, as UTC, so that documents made again
// from the same table are identical, as reproducible builds need; otherwise the local time.
CalendarTime document_date();

}  // namespace tbl2tblx
