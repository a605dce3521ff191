// Arbitrary bytes for the readers of dated names, taken at once as text, as
// an entry name, as three date fields and as a count of days. What must
// hold, besides no undefined behaviour whatever the input:
// - integers: a strict failure reads 0, and a success is what the lenient
//   reader reads; only the head counts, not blanks before it nor a stray
//   byte after it; a sign negates in 32-bit arithmetic; a digit string
//   reads as its longest head that the standard library fits in 32 bits;
// - names: only the first eight bytes count, eight digits reading as
//   yyyymmdd;
// - days: a year before 1970 is day 0, and every real date from 1970 to
//   9999 gets the count of the standard calendar.
#include <cassert>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string>

#include "expiry/day_number.h"

using namespace kelvane;
using namespace std::chrono;

template <typename T>
T LongestHeadThatFits(std::string_view d, int base) {
  for (T value = 0;; d.remove_suffix(1))
    if (std::from_chars(d.data(), d.data() + d.size(), value, base).ec == std::errc()) return value;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const IntegerReading strict = StrictInteger(text);
  const std::int32_t leading = LeadingInteger(text);
  assert(strict.position == 0 ? leading == strict.value : strict.value == 0);
  assert(LeadingInteger(" " + text) == leading && LeadingInteger(text + "x") == leading);
  assert(StrictInteger(text + "x").position != 0);
  if (text.find_first_of("0123456789$") == 0)
    assert(LeadingInteger("-" + text) == std::int32_t(0u - std::uint32_t(leading)));
  // The oracle is quadratic, so longer texts get only the checks above. A
  // digit string too long for 64 bits is far too long for 32.
  const bool oracle = size > 0 && size <= 48;
  if (oracle && text.find_first_not_of("0123456789") == text.npos)
    assert(leading == LongestHeadThatFits<std::int32_t>(text, 10) &&
           (strict.position == 0) == (LongestHeadThatFits<std::int64_t>(text, 10) <= INT32_MAX));
  if (oracle && text.find_first_not_of("0123456789abcdefABCDEF") == text.npos)
    assert(LeadingInteger("$" + text) == std::int32_t(LongestHeadThatFits<std::uint32_t>(text, 16)));

  const NameDate date = DateFromName(text), head = DateFromName(text.substr(0, 8));
  assert(date.year == head.year && date.month == head.month && date.day == head.day);
  // Fields of two digits pack without overlap.
  if (size >= 8 && text.find_first_not_of("0123456789") >= 8)
    assert(date.year * 10000 + date.month * 100 + date.day == std::stoi(text.substr(0, 8)));

  std::int32_t fields[3] = {};
  std::memcpy(fields, data, std::min(size, sizeof fields));
  const auto [d, m, y] = fields;
  assert(DayNumber(d, m, y) == 0 || y >= 1970);
  // 2932897 days run from 1 January 1970 to 31 December 9999.
  const std::int32_t since1970 = std::uint32_t(d) % 2932897;
  const year_month_day real{sys_days{days{since1970}}};
  assert(DayNumber(unsigned(real.day()), unsigned(real.month()), int(real.year())) == since1970 + 1);
  return 0;
}
