// Arbitrary bytes as a binary table: the walk reads nothing outside them, whatever their counts
// and lengths claim, and ends with one of its outcomes.
#include <cstdint>
#include <span>
#include <vector>

#include "convert/convert.hpp"
#include "io/io.hpp"
#include "scratch.hpp"

using namespace tbl2tblx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::enter_scratch_folder();
  // An exactly sized copy: one byte too far is a sanitizer report.
  const std::vector<std::uint8_t> table(data, data + size);
  const DocumentHead head{"fuzz.tblx", "fuzz.tbl", 2026, 12, 9, 23, 59, 58};
  OutputFile out;
  fuzz_support::require(output_open(out, "fuzz.tblx") == 0);
  write_table_document(table, head, out);
  output_discard(out);
  return 0;
}
