// The progress line: what a run prints after each record, gathered or not.
#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "convert/convert.hpp"

namespace tbl2tblx {
namespace {

std::string line(std::string_view shown) {
  return std::string(80, '\b') + "\t" + std::string(shown) + " ";
}

// Counts that carry into a new digit, a total that changes, a count that jumps, a line without
// a total and another table: each line is rendered as if it were the first.
TEST(Progress, EveryLineIsWholeWhateverCameBefore) {
  testing::internal::CaptureStdout();
  std::string expected;
  const std::uint64_t total = 1000;
  for (std::uint64_t count = 1; count <= total; ++count) {
    print_progress("t", true, count, &total);
    expected += line("t: " + std::to_string(count) + "/1000");
  }
  const std::uint64_t other_total = 99;
  print_progress("t", true, 1001, &other_total);
  print_progress("t", true, 1003, &other_total);
  print_progress("t", true, 1004, nullptr);
  print_progress("u", false, 1005, nullptr);
  print_progress("u", false, 9, nullptr);
  print_progress("u", false, 10, nullptr);
  end_progress();
  expected += line("t: 1001/99") + line("t: 1003/99") + line("t: 1004") + line("u: +1005") +
              line("u: +9") + line("u: +10");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

}  // namespace
}  // namespace tbl2tblx
