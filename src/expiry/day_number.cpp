#include "expiry/day_number.h"

namespace kelvane {
namespace {

// Days of a common year before each month, read three digits at a time.
// Month 13 reads 366; months beyond read nothing.
constexpr std::string_view CumulativeDays = "000031059090120151181212243273304334366";

// A part of the text from the 1-based position first, length bytes long.
// Positions below 1 count as 1; the slice is cut at the end of the text.
std::string_view Slice(std::string_view text, std::int64_t first, std::int64_t length) {
  if (first < 1) first = 1;
  if (length <= 0 || first > static_cast<std::int64_t>(text.size())) return {};
  return text.substr(static_cast<std::size_t>(first - 1), static_cast<std::size_t>(length));
}

int DigitValue(char c, std::uint32_t base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

IntegerReading FailAt(std::size_t index) { return {0, static_cast<std::int32_t>(index + 1)}; }

}  // namespace

IntegerReading StrictInteger(std::string_view text) {
  std::size_t i = 0;
  const std::size_t end = text.size();
  while (i < end && text[i] == ' ') ++i;
  if (i == end) return FailAt(end);

  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    if (++i == end) return FailAt(end);
  }
  std::uint32_t base = 10;
  std::uint64_t limit = 2147483647;
  if (text[i] == '$') {
    base = 16;
    limit = 0xFFFFFFFF;
    if (++i == end) return FailAt(end);
  }

  std::uint64_t value = 0;
  for (; i < end; ++i) {
    const int digit = DigitValue(text[i], base);
    if (digit < 0) break;
    value = value * base + static_cast<std::uint64_t>(digit);
    if (value > limit) return FailAt(i);
  }
  if (i < end) return FailAt(i);

  auto bits = static_cast<std::uint32_t>(value);
  if (negative) bits = 0u - bits;
  return {static_cast<std::int32_t>(bits), 0};
}

std::int32_t LeadingInteger(std::string_view text) {
  const IntegerReading whole = StrictInteger(text);
  if (whole.position == 0) return whole.value;
  return StrictInteger(Slice(text, 1, whole.position - 1)).value;
}

std::int32_t IsLeapYear(std::int32_t year) {
  if (year % 400 == 0) return 1;
  if (year % 100 == 0) return 0;
  return year % 4 == 0 ? 1 : 0;
}

std::int32_t DayNumber(std::int32_t day, std::int32_t month, std::int32_t year) {
  if (year < 1970) return 0;
  // Leap years in [1970, year - 1], counted in closed form rather than one
  // year at a time, so that a name dated 9999 costs no more than 2001.
  const auto leapsBefore = [](std::int64_t y) { return y / 4 - y / 100 + y / 400; };
  std::int64_t days = 365 * (std::int64_t{year} - 1970) + leapsBefore(year - 1) - leapsBefore(1969);
  days += LeadingInteger(Slice(CumulativeDays, (std::int64_t{month} - 1) * 3 + 1, 3));
  if (month > 2) days += IsLeapYear(year);
  days += day;
  // Wraps like 32-bit arithmetic; no caller passes values that get there.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(days));
}

NameDate DateFromName(std::string_view name) {
  return {LeadingInteger(Slice(name, 1, 4)), LeadingInteger(Slice(name, 5, 2)),
          LeadingInteger(Slice(name, 7, 2))};
}

}  // namespace kelvane
