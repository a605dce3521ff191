// Arbitrary entry names and date fields for the day arithmetic. What must
// hold: no undefined behaviour whatever the fields, only the first eight
// bytes of a name count, every real calendar date from 1970 on gets the
// number of days the standard calendar counts, and the days of a month
// follow one another.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "expiry/day_number.h"

namespace {

using kelvane::DateFromName;
using kelvane::DayNumber;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool SameDate(const kelvane::NameDate& a, const kelvane::NameDate& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day;
}

std::int32_t Field(const std::uint8_t* data) {
  std::int32_t value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

void CheckName(std::string_view name) {
  if (name.size() > 255) name = name.substr(0, 255);
  const kelvane::NameDate date = DateFromName(name);
  Check(SameDate(DateFromName(name.substr(0, 8)), date));
  if (name.size() >= 8 && name.substr(0, 8).find_first_not_of("0123456789") == std::string_view::npos) {
    const auto digits = [&](std::size_t at, std::size_t n) {
      std::int32_t value = 0;
      for (char c : name.substr(at, n)) value = value * 10 + (c - '0');
      return value;
    };
    Check(date.year == digits(0, 4) && date.month == digits(4, 2) && date.day == digits(6, 2));
  }
}

void CheckFields(std::int32_t day, std::int32_t month, std::int32_t year) {
  const std::int32_t number = DayNumber(day, month, year);
  if (year < 1970) Check(number == 0);

  using namespace std::chrono;
  const bool calendarRange =
      year >= 1970 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31;
  if (calendarRange) {
    const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                              std::chrono::day{static_cast<unsigned>(day)}};
    if (date.ok()) Check(number == (sys_days{date} - sys_days{1970y / January / 1}).count() + 1);
  }
  // Within a month, the next day is the next number (wrapping as 32 bits).
  if (year >= 1970 && day < std::numeric_limits<std::int32_t>::max())
    Check(static_cast<std::uint32_t>(DayNumber(day + 1, month, year)) ==
          static_cast<std::uint32_t>(number) + 1u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckName(std::string_view(reinterpret_cast<const char*>(data), size));
  if (size >= 12) CheckFields(Field(data), Field(data + 4), Field(data + 8));
  return 0;
}
