#include "convert/calendar.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace tbl2tblx {
namespace {

// 9999-12-31 23:59:59 UTC: later dates do not fit the four digits of a document's year.
constexpr std::int64_t kLastEpochSecond = 253'402'300'799;

CalendarTime calendar_time(const std::tm& broken_down) {
  constexpr int kYearBase = 1900;  // std::tm counts years from it, and months from 0
  return {broken_down.tm_year + kYearBase,
          broken_down.tm_mon + 1,
          broken_down.tm_mday,
          broken_down.tm_hour,
          broken_down.tm_min,
          broken_down.tm_sec};
}

bool reproducible_date(std::tm& date) {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr) return false;
  const std::string_view digits(epoch);
  if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  std::int64_t seconds = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
  if (error != std::errc{} || end != digits.data() + digits.size() || seconds > kLastEpochSecond) {
    return false;
  }
  const auto time = static_cast<std::time_t>(seconds);
  return gmtime_r(&time, &date) != nullptr;
}

}  // namespace

CalendarTime local_time_now(int later) {
  const std::time_t now = std::time(nullptr) + later;
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return {};
  return calendar_time(local);
}

CalendarTime document_date() {
  std::tm date{};
  if (reproducible_date(date)) return calendar_time(date);
  return local_time_now();
}

}  // namespace tbl2tblx
