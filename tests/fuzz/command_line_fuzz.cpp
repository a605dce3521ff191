// Arbitrary Windows command lines, as the 16-bit units the system hands
// over. What must hold: no token is empty or holds a double quote; where
// the line has no quote, the tokens are exactly its stretches between
// separators; a kept token is a prefix of the token, never longer than
// asked, and never ends in half of a surrogate pair that was cut.
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/command_line.h"

namespace {

using kelvane::IsHighSurrogate;
using kelvane::IsLowSurrogate;
using kelvane::KeepUnits;
using kelvane::SplitCommandLine;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsSeparatorOrEnd(char16_t unit) { return unit <= 0x20; }

// The stretches between separators of a line without quotes, up to the
// first NUL, which ends the line.
std::u16string Unseparated(std::u16string_view line) {
  std::u16string kept;
  for (const char16_t unit : line) {
    if (unit == 0) break;
    if (!IsSeparatorOrEnd(unit)) kept += unit;
  }
  return kept;
}

void CheckKept(std::u16string_view token, std::size_t limit) {
  const std::u16string_view kept = KeepUnits(token, limit);
  Check(token.substr(0, kept.size()) == kept);
  Check(kept.size() <= limit);
  if (kept.size() < std::min(limit, token.size())) {
    Check(kept.size() + 1 == limit);
    Check(IsHighSurrogate(token[kept.size()]) && IsLowSurrogate(token[kept.size() + 1]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string line(size / 2, u'\0');
  std::memcpy(line.data(), data, line.size() * 2);
  const auto tokens = SplitCommandLine<char16_t>(line);
  std::u16string joined;
  for (const std::u16string& token : tokens) {
    Check(!token.empty());
    Check(token.find(u'"') == std::u16string::npos);
    joined += token;
    CheckKept(token, size % 300);
  }
  if (line.find(u'"') == std::u16string::npos) Check(joined == Unseparated(line));
  return 0;
}
