// Arbitrary bytes as a binary table: the walk reads nothing outside them, whatever their counts
// and lengths claim, and ends with one of its outcomes. Fed through a tiny window in reads of a
// few bytes, as from a pipe or a file, it gives the outcome and the document of the whole table
// at once; and the table cut at every window boundary ends as the cut table does at once.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "io/io.hpp"
#include "scratch.hpp"

using namespace tbl2tblx;

namespace {

constexpr std::size_t kTinyWindow = 64;

struct Run {
  TableOutcome outcome;
  std::string document;  // when complete
};

Run run(std::span<const std::uint8_t> table, std::size_t window, std::size_t piece,
        bool size_known) {
  const DocumentHead head{"fuzz.tblx", "fuzz.tbl", 2026, 12, 9, 23, 59, 58};
  InputWindow in;
  fuzz_support::require(input_window_from_memory(in, table, window, piece, size_known) == 0);
  OutputFile out;
  fuzz_support::require(output_open(out, "fuzz.tblx") == 0);
  Run result{write_table_document(in, head, out), {}};
  if (result.outcome != TableOutcome::kComplete) {
    output_discard(out);
    return result;
  }
  fuzz_support::require(output_commit(out) == 0);
  result.document = fuzz_support::read_file("fuzz.tblx");
  std::filesystem::remove("fuzz.tblx");
  return result;
}

// An exactly sized copy of the first `size` bytes: one byte too far is a sanitizer report.
std::vector<std::uint8_t> prefix(const std::uint8_t* data, std::size_t size) {
  return {data, data + size};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz_support::enter_scratch_folder();
  const std::vector<std::uint8_t> table = prefix(data, size);
  const Run whole = run(table, size, 0, true);
  // The reads' length comes from the table itself, so that the corpus varies it.
  const std::size_t piece = size == 0 ? 1 : 1 + data[size - 1] % 11;
  for (const bool size_known : {true, false}) {
    const Run fed = run(table, kTinyWindow, piece, size_known);
    fuzz_support::require(fed.outcome == whole.outcome && fed.document == whole.document);
  }
  for (std::size_t cut = kTinyWindow; cut < size; cut += kTinyWindow) {
    const std::vector<std::uint8_t> cut_table = prefix(data, cut);
    const TableOutcome expected = run(cut_table, cut, 0, true).outcome;
    fuzz_support::require(run(cut_table, kTinyWindow, kTinyWindow, false).outcome == expected);
  }
  return 0;
}
