// Arbitrary text for the integer reader. What must hold whatever the text:
// no undefined behaviour, a failure reported inside the text or just past
// it, and for plain digit strings the value the standard library reads.
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "expiry/day_number.h"

namespace {

using kelvane::LeadingInteger;
using kelvane::StrictInteger;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool AllOf(std::string_view text, std::string_view digits) {
  return !text.empty() && text.find_first_not_of(digits) == std::string_view::npos;
}

// The value of the longest head of `digits` that fits in T, as the
// standard library reads it; 0 when not even one digit fits.
template <typename T>
T LongestHeadThatFits(std::string_view digits, int base) {
  for (std::size_t n = digits.size(); n > 0; --n) {
    T value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + n, value, base);
    if (error == std::errc() && end == digits.data() + n) return value;
  }
  return 0;
}

// Texts longer than this are checked only by the cheap invariants.
constexpr std::size_t OracleLength = 48;

void CheckDigitStrings(std::string_view text) {
  if (text.size() > OracleLength) return;
  if (AllOf(text, "0123456789")) {
    const std::int32_t expected = LongestHeadThatFits<std::int32_t>(text, 10);
    Check(LeadingInteger(text) == expected);
    std::int32_t whole = 0;
    const bool fits = std::from_chars(text.data(), text.data() + text.size(), whole).ec == std::errc();
    Check((StrictInteger(text).position == 0) == fits);
  }
  if (AllOf(text, "0123456789abcdefABCDEF")) {
    const std::uint32_t bits = LongestHeadThatFits<std::uint32_t>(text, 16);
    Check(LeadingInteger("$" + std::string(text)) == static_cast<std::int32_t>(bits));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const kelvane::IntegerReading strict = StrictInteger(text);
  Check(strict.position >= 0 && static_cast<std::size_t>(strict.position) <= size + 1);
  if (strict.position != 0) Check(strict.value == 0);
  const std::int32_t leading = LeadingInteger(text);
  if (strict.position == 0) Check(leading == strict.value);

  // Only the head of the text counts: blanks before it and a byte that is
  // no digit of any base after it change nothing.
  Check(LeadingInteger(" " + text) == leading);
  Check(LeadingInteger(text + "x") == leading);
  Check(StrictInteger(text + "x").position != 0);

  // A sign in front of a number negates it, in 32-bit arithmetic.
  if (!text.empty() && ((text[0] >= '0' && text[0] <= '9') || text[0] == '$')) {
    Check(LeadingInteger("+" + text) == leading);
    const auto negated = static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(leading));
    Check(LeadingInteger("-" + text) == negated);
  }

  CheckDigitStrings(text);
  return 0;
}
