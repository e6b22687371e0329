#include "convert/shared.hpp"

#include "convert/convert.hpp"

namespace tbl2tblx {

CalendarTime calendar_time(const std::tm& broken_down) {
  constexpr int kYearBase = 1900;  // std::tm counts years from it, and months from 0
  return {broken_down.tm_year + kYearBase,
          broken_down.tm_mon + 1,
          broken_down.tm_mday,
          broken_down.tm_hour,
          broken_down.tm_min,
          broken_down.tm_sec};
}

std::string output_path(const RunContext& run, std::string_view name) {
  if (run.output_folder.empty()) return std::string(name);
  return run.output_folder + "/" + std::string(name);
}

CalendarTime local_time_now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  return calendar_time(local);
}

}  // namespace tbl2tblx
