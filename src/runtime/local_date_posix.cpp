#include <ctime>

#include "runtime/local_date.h"

namespace kelvane {

CalendarDate LocalDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {static_cast<std::uint32_t>(local.tm_year + 1900), static_cast<std::uint32_t>(local.tm_mon + 1),
          static_cast<std::uint32_t>(local.tm_mday), static_cast<std::uint32_t>(local.tm_wday)};
}

}  // namespace kelvane
