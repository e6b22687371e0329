// Arbitrary documents: the converter never crashes, reads nothing outside the document, and
// leaves nothing behind but complete tables (no temporary file survives a conversion).
#include <cstdint>
#include <filesystem>
#include <string>

#include "convert/convert.hpp"
#include "scratch.hpp"

using namespace tbl2tblx;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::enter_scratch_folder();
  fallback_pause = std::chrono::milliseconds(0);
  fuzz_support::write_input("input.tblx", data, size);
  convert_tblx_to_tbl("input.tblx");
  // What stays is the input and finished tables; a temporary file never ends in ".tbl" (its
  // name is ".tbl2tblx-" and six letters or digits), a table's file always does.
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    fuzz_support::require(name == "input.tblx" || name.ends_with(".tbl"));
  }
  fuzz_support::empty_scratch_folder();
  return 0;
}
