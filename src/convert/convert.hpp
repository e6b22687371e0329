// The two directions of conversion. Each converts one file named on the command line into the
// run's output folder, saying its progress and how it ended on the run's console: 0 when
// everything was written, 1 when anything failed. Beneath each is a core that works on an open
// input and prints no outcome, for tests and fuzzers: write_table_document and read_document.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "convert/console.hpp"
#include "io/io.hpp"

namespace tbl2tblx {

// What the command line settles once for a run and hands down to the conversions, so that
// nothing below it asks whether a terminal is attached or keeps a switch of its own.
struct RunContext {
  Console console;  // every message and progress line
  // The window that inputs are read through (tests and fuzzers make it tiny).
  std::size_t window = kInputWindowSize;
  // The wait after falling back to a time-stamped name, so that the next fallback of the run
  // finds the next second's name free. Fuzzers make it zero.
  std::chrono::milliseconds fallback_pause = std::chrono::seconds(1);
  // Where outputs are created; empty: the current folder.
  std::string output_folder;
  // Elements that a document holds as the tool writes them are read straight from the window;
  // off, the tag walk reads every element (tests compare the two).
  bool direct_reads = true;
  // Every file the run has committed: no later output of the run replaces one of them.
  WrittenFiles written;
};

// Which way a file is converted, by its name's extension in any letter case (a name that is the
// extension alone is skipped): ".tbl" into a document, ".tblx" into tables, anything else not.
enum class Direction : std::uint8_t { kSkip, kToDocument, kToTables };
Direction direction_of(std::string_view path);

// The path of the output `name` in the run's output folder.
std::string output_path(const RunContext& run, std::string_view name);

// The table `path` becomes a ".tblx" document named after its base name.
[[nodiscard]] int convert_tbl_to_tblx(const char* path, RunContext& run);

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

// Writes the whole document of the binary table read from `table` to `out`, showing the
// progress line after each record. Reads the table once, in order, through its window, whatever
// the window's size. Neither commits nor discards `out`, and says no outcome.
[[nodiscard]] TableOutcome write_table_document(InputWindow& table, const DocumentHead& head,
                                                OutputFile& out, RunContext& run);

// How reading a document ended, for the one place that words it.
enum class DocumentStop : std::uint8_t {
  kComplete,  // every table was written
  kParse,     // the tag and line where the document cannot be read on
  kWrite,     // an item of a table's file that could not be written
  kFile,      // a table's file that could not be created or completed
  kRead,      // the document could not be read
};

struct DocumentOutcome {
  DocumentStop stop = DocumentStop::kComplete;
  std::string tag;             // kParse: the normalised tag ("" when the document ended in markup)
  std::int64_t line = 0;       // kParse: the tag's line
  const char* item = nullptr;  // kWrite: what could not be written ("fieldinfo", "table name")
  std::string output_name;     // kWrite, kFile: the file, as the message names it
};

// Reads the document from `document` (from its start; a zero byte ends it) in one pass and
// writes a .tbl file for each of its tables into the run's output folder, saying each table and
// its progress on the run's console; the files of the tables finished before a failure stay.
// Says no outcome.
[[nodiscard]] DocumentOutcome read_document(InputWindow& document, RunContext& run);

// The document `path` becomes one ".tbl" file per table, named after its table (or after the
// local time when that name cannot be written).
[[nodiscard]] int convert_tblx_to_tbl(const char* path, RunContext& run);

}  // namespace tbl2tblx
