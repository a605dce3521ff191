// Today's date in the local time zone.
#pragma once

#include <cstdint>

namespace kelvane {

struct CalendarDate {
  std::uint32_t year = 0;
  std::uint32_t month = 0;      // 1 to 12
  std::uint32_t day = 0;        // 1 to 31
  std::uint32_t dayOfWeek = 0;  // 0 to 6, 0 for Sunday
};

CalendarDate LocalDate();

}  // namespace kelvane
