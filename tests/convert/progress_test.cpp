// The progress line: what a run prints after each record, gathered or not.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "convert/convert.hpp"
#include "support.hpp"

namespace tbl2tblx {
namespace {

using testing_support::progress;
using testing_support::progress_lines;

// Counts that carry into a new digit, a total that changes, a count that jumps, a line without
// a total and another table: each line is rendered as if it were the first.
TEST(Progress, EveryLineIsWholeWhateverCameBefore) {
  testing_support::CapturedConsole console;
  Console& c = console.run.console;
  const std::uint64_t total = 1000;
  for (std::uint64_t count = 1; count <= total; ++count)
    show_progress(c, "t", true, count, &total);
  const std::uint64_t other_total = 99;
  show_progress(c, "t", true, 1001, &other_total);
  show_progress(c, "t", true, 1003, &other_total);
  show_progress(c, "t", true, 1004, nullptr);
  show_progress(c, "u", false, 1005, nullptr);
  show_progress(c, "u", false, 9, nullptr);
  show_progress(c, "u", false, 10, nullptr);
  EXPECT_EQ(console.text(),
            progress_lines("t", "", total, total) + progress("t", "", 1001, 99) +
                progress("t", "", 1003, 99) + progress("t", "", 1004) + progress("u", "+", 1005) +
                progress("u", "+", 9) + progress("u", "+", 10));
}

}  // namespace
}  // namespace tbl2tblx
