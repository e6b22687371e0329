// The two directions of conversion. Each takes one name from the command line, returns at once
// (silently, with 0: skipping a name is no failure) when the name's extension is not its own,
// and otherwise converts the file, reporting progress and failures on standard output itself.
// 0 when everything was written, 1 when anything failed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "io/io.hpp"

namespace tbl2tblx {

// How progress lines reach standard output.
enum class ProgressPolicy : std::uint8_t {
  kEveryRecord,  // redirected: every line, exactly, gathered into large writes
  kTerminal,     // a terminal: redrawn at most about 20 times a second, the last line always
};

// What the command line settles once for a run and hands down to the conversions, so that
// nothing below it asks whether a terminal is attached or keeps a switch of its own.
struct RunContext {
  ProgressPolicy progress = ProgressPolicy::kEveryRecord;
  // The wait after falling back to a time-stamped name, so that two fallbacks in one run get
  // two names. Fuzzers make it zero.
  std::chrono::milliseconds fallback_pause = std::chrono::seconds(1);
};

// A ".tbl" name (any letter case, more than the extension alone) becomes a ".tblx" document in
// the current directory, named after the input's base name. The table is read through a window
// of `window` bytes (tests and fuzzers make it tiny).
[[nodiscard]] int convert_tbl_to_tblx(const char* path, std::size_t window = kInputWindowSize,
                                      const RunContext& run = {});

// The binary-to-document walk without files, for tests and fuzzers.

// What the document header shows besides the fixed texts.
struct DocumentHead {
  std::string_view document_name;              // the document's own name
  std::string_view source_name;                // the binary file's name as given
  int year, month, day, hour, minute, second;  // month 1 to 12
};

// How writing the document of one binary table ended.
enum class TableOutcome : std::uint8_t {
  kComplete,    // the table was read to its last byte and the document written whole
  kMismatched,  // a count or length runs past the end, or bytes are left after the records
  kDamaged,     // an int2/int4 value of another length, or a group byte naming no group
  kUnwritable,  // the output failed
  kUnreadable,  // reading the table failed
};

// Writes the whole document of the binary table read from `table` to `out`, printing the
// progress line after each record (end_progress is the caller's). Reads the table once, in
// order, through its window, whatever the window's size. Neither commits nor discards `out`, and
// prints no message.
[[nodiscard]] TableOutcome write_table_document(InputWindow& table, const DocumentHead& head,
                                                OutputFile& out, const RunContext& run = {});

// A ".tblx" name becomes one ".tbl" file per table, in the current directory, named after its
// table (or after the local time when that name cannot be written). The document is read
// through a window of `window` bytes (tests and fuzzers make it tiny).
[[nodiscard]] int convert_tblx_to_tbl(const char* path, std::size_t window = kInputWindowSize,
                                      const RunContext& run = {});

// ---- Shared by both directions ---------------------------------------------------------------

// The progress line after each record: eighty backspaces, then "\t<table>: <marker><count>"
// with "/<total>" when a total is given, and a blank, shown as `policy` says.
void print_progress(std::string_view table, bool overwrite, std::uint64_t count,
                    const std::uint64_t* total,
                    ProgressPolicy policy = ProgressPolicy::kEveryRecord);
// Shows the last progress line if a terminal skipped it; call before whatever follows the
// records (the line end, or a message).
void end_progress();

}  // namespace tbl2tblx
