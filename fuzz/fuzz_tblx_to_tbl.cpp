// Arbitrary documents: the converter never crashes, reads nothing outside the document, and
// leaves nothing behind but complete tables (no temporary file survives a conversion). Read
// through a window of 64 bytes, so that every tag and text straddles refills, a document gives
// the same files and the same console lines as read through the default window.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "convert/convert.hpp"
#include "scratch.hpp"

using namespace tbl2tblx;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kTinyWindow = 64;
// No pause after a time-stamped name: a fuzzer runs millions of inputs.
const RunContext kRun{.fallback_pause = std::chrono::milliseconds(0)};

struct Run {
  std::string console;
  std::map<std::string, std::string> tables;  // by file name
};

// One conversion with its console lines caught in a file; the tables it wrote are read and
// removed.
Run convert(std::size_t window) {
  std::fflush(stdout);
  const int console = dup(STDOUT_FILENO);
  std::FILE* caught = std::fopen("console.out", "w+b");
  fuzz_support::require(console >= 0 && caught != nullptr);
  dup2(fileno(caught), STDOUT_FILENO);
  (void)convert_tblx_to_tbl("input.tblx", window, kRun);  // what it says is compared below
  std::fflush(stdout);
  dup2(console, STDOUT_FILENO);
  close(console);
  std::fclose(caught);
  Run run{fuzz_support::read_file("console.out"), {}};
  fs::remove("console.out");
  // What stays is the input and finished tables; a temporary file never ends in ".tbl" (its
  // name is ".tbl2tblx-" and six letters or digits), a table's file always does.
  for (const auto& entry : fs::directory_iterator(".")) {
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
  fuzz_support::enter_scratch_folder();
  fuzz_support::write_input("input.tblx", data, size);
  const Run large = convert(kInputWindowSize);
  const Run tiny = convert(kTinyWindow);
  // Names made of the local time may change between the two runs.
  if (large.console.find("Retry") == std::string::npos) {
    fuzz_support::require(tiny.console == large.console && tiny.tables == large.tables);
  }
  fuzz_support::empty_scratch_folder();
  return 0;
}
