#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "runtime/local_date.h"

namespace kelvane {

CalendarDate LocalDate() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wDayOfWeek};
}

}  // namespace kelvane
