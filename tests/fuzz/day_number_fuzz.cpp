// Arbitrary bytes for the readers of dated names, taken at once as text and
// as an entry name. Besides no undefined behaviour: a strict reading that
// fails reads 0 and one that succeeds reads what the lenient reader reads;
// a name counts by its first eight bytes. The day-number test counts every
// date there is.
#include <cassert>
#include <string>

#include "expiry/day_number.h"

using namespace kelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const IntegerReading strict = StrictInteger(text);
  assert(strict.position == 0 ? LeadingInteger(text) == strict.value : strict.value == 0);
  const NameDate date = DateFromName(text), head = DateFromName(text.substr(0, 8));
  assert(date.year == head.year && date.month == head.month && date.day == head.day);
  return 0;
}
