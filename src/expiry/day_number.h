// Integer reading and day arithmetic for dated entry names.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvane {

struct IntegerReading {
  std::int32_t value = 0;
  // 0 when the whole text was a number, else the 1-based position of the
  // first byte that could not be read.
  std::int32_t position = 0;
};

// Reads the whole text as one integer: leading blanks, an optional sign, an
// optional "$" for hexadecimal, then digits.
IntegerReading StrictInteger(std::string_view text);

// The integer at the head of the text; 0 when there is none. Never fails.
std::int32_t LeadingInteger(std::string_view text);

// 1 for a Gregorian leap year, 0 otherwise.
std::int32_t IsLeapYear(std::int32_t year);

// Days since 1 January 1970 plus one; 0 for every year before 1970. Month
// and day are not validated: they simply add up.
std::int32_t DayNumber(std::int32_t day, std::int32_t month, std::int32_t year);

struct NameDate {
  std::int32_t year = 0;
  std::int32_t month = 0;
  std::int32_t day = 0;

  // A name counts as dated only when all three fields are positive.
  bool IsDated() const { return year > 0 && month > 0 && day > 0; }
};

// Reads yyyymmdd from the first eight bytes of an entry name.
NameDate DateFromName(std::string_view name);

}  // namespace kelvane
