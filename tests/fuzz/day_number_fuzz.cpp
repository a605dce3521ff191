// Arbitrary bytes for the readers of dated names, taken at once as text, as
// an entry name and as three date fields. Besides no undefined behaviour:
// a strict reading that fails reads 0 and one that succeeds reads what the
// lenient reader reads; a name counts by its first eight bytes; a year
// before 1970 is day 0.
#include <cassert>
#include <chrono>
#include <cstring>
#include <string>

#include "expiry/day_number.h"

using namespace kelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const IntegerReading strict = StrictInteger(text);
  assert(strict.position == 0 ? LeadingInteger(text) == strict.value : strict.value == 0);
  const NameDate date = DateFromName(text), head = DateFromName(text.substr(0, 8));
  assert(date.year == head.year && date.month == head.month && date.day == head.day);
  std::int32_t fields[3] = {};
  std::memcpy(fields, data, std::min(size, sizeof fields));
  const auto [d, m, y] = fields;
  assert(DayNumber(d, m, y) == 0 || y >= 1970);
  // Every real date from 1970 to 9999 gets the count of the standard calendar.
  const std::chrono::year_month_day real{
      std::chrono::sys_days{std::chrono::days{std::uint32_t(d) % 2932897}}};
  assert(DayNumber(unsigned(real.day()), unsigned(real.month()), int(real.year())) ==
         std::int32_t(std::uint32_t(d) % 2932897) + 1);
  return 0;
}
