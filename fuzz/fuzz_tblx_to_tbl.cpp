// Arbitrary documents: the converter never crashes, reads nothing outside the document, and
// leaves nothing behind but complete tables (no temporary file survives a conversion). Read
// through a window of 64 bytes, so that every tag and text straddles refills, a document gives
// the same files and the same console lines as read through the default window, and as read
// with every element taken by the tag walk (no direct reads).
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "convert/convert.hpp"
#include "scratch.hpp"

using namespace tbl2tblx;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kTinyWindow = 64;

struct Run {
  std::string console;
  std::map<std::string, std::string> tables;  // by file name
};

// One conversion; the tables it wrote are read and removed.
Run convert(const std::string& input, std::size_t window, bool direct_reads = true) {
  fuzz_support::CaughtRun caught(window);
  caught.run.direct_reads = direct_reads;
  (void)convert_tblx_to_tbl(input.c_str(), caught.run);  // what it says is compared below
  Run run{caught.console(), {}};
  // What stays is the input and finished tables; a temporary file never ends in ".tbl" (its
  // name is ".tbl2tblx-" and six letters or digits), a table's file always does.
  for (const auto& entry : fs::directory_iterator(fuzz_support::scratch_folder())) {
    const std::string name = entry.path().filename().string();
    fuzz_support::require(name == "input.tblx" || name.ends_with(".tbl"));
    if (name.ends_with(".tbl")) {
      run.tables[name] = fuzz_support::read_file(entry.path());
      fs::remove(entry.path());
    }
  }
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = fuzz_support::write_input("input.tblx", data, size);
  const Run large = convert(input, kInputWindowSize);
  const Run tiny = convert(input, kTinyWindow);
  const Run walked = convert(input, kInputWindowSize, false);
  // Names made of the local time may change between the runs.
  if (large.console.find("Retry") == std::string::npos) {
    fuzz_support::require(tiny.console == large.console && tiny.tables == large.tables);
    fuzz_support::require(walked.console == large.console && walked.tables == large.tables);
  }
  fuzz_support::empty_scratch_folder();
  return 0;
}
