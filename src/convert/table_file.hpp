// The .tbl file of one table as a document's table is read: written front to back, each count
// that precedes its items written first as 0 and patched once the items are known. A failure
// names the item that could not be written, in the document's outcome.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "convert/convert.hpp"
#include "convert/element_text.hpp"
#include "formats/formats.hpp"
#include "io/io.hpp"

namespace tbl2tblx {

struct TableFile {
  OutputFile file;
  DocumentOutcome& outcome;
  std::string output_name;  // as messages name it
  Name name = {};
  bool overwrite = false;
  std::array<Name, kMaxGroups> groups = {};
  std::size_t ngroup = 0;
  std::uint8_t default_group = kNone;
  std::uint32_t nrecord = 0;

  explicit TableFile(DocumentOutcome& document) : outcome(document) {}
};

// Records a failure of the file in the outcome; always 1.
int file_error(TableFile& t, DocumentStop stop, const char* item);

// Appends `bytes`, the item `item` of the file.
[[nodiscard]] inline int append(TableFile& t, std::span<const std::uint8_t> bytes,
                                const char* item) {
  return output_write(t.file, bytes) == 0 ? 0 : file_error(t, DocumentStop::kWrite, item);
}

[[nodiscard]] inline int append_byte(TableFile& t, std::uint8_t byte, const char* item) {
  return append(t, {&byte, 1}, item);
}

// Fills in the count `bytes` of the item `item` at `offset`.
[[nodiscard]] int patch_item(TableFile& t, std::uint64_t offset,
                             std::span<const std::uint8_t> bytes, const char* item);

// Creates the file named after the table, in the run's output folder. A name that would leave
// the folder, or that names a file this run has already written, is not tried; one that cannot
// be created gives way to a name made of the local time (said on the console), taken only where
// no file stands, or else the next second's, after which the run pauses, so that its next
// fallback finds a free name.
[[nodiscard]] int open_table_file(TableFile& t, RunContext& run);

}  // namespace tbl2tblx
