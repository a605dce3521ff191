#include "support/dates.h"

#include <chrono>
#include <cstdio>

#include "expiry/day_number.h"
#include "runtime/local_date.h"

namespace kelvane::testing {

std::string DateDaysAgo(int days) {
  using namespace std::chrono;
  const CalendarDate today = LocalDate();
  const year_month_day date{sys_days{year{static_cast<int>(today.year)} / static_cast<int>(today.month) /
                                     static_cast<int>(today.day)} -
                            std::chrono::days{days}};
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02u%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

std::int32_t TodayNumber() {
  const CalendarDate today = LocalDate();
  return DayNumber(static_cast<std::int32_t>(today.day), static_cast<std::int32_t>(today.month),
                   static_cast<std::int32_t>(today.year));
}

}  // namespace kelvane::testing
