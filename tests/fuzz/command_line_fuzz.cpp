// Arbitrary Windows command lines, as the 16-bit units the system hands
// over. What must hold: no token is empty or holds a double quote; where
// the line has no quote, the tokens are exactly its stretches between
// separators up to the first NUL; a kept token is never longer than the
// limit, and shorter only where the cut would split a surrogate pair.
#include <cassert>

#include "runtime/command_line.h"

using namespace kelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // libFuzzer hands over a buffer of its own allocation, aligned for any unit.
  std::u16string line(reinterpret_cast<const char16_t*>(data), size / 2), joined, unseparated;
  for (const char16_t unit : line.substr(0, line.find(u'\0')))
    if (unit > 0x20) unseparated += unit;
  const std::size_t limit = size % 300;
  for (const std::u16string& token : SplitCommandLine<char16_t>(line)) {
    assert(!token.empty() && token.find(u'"') == token.npos);
    joined += token;
    const std::size_t kept = KeepUnits<char16_t>(token, limit).size();
    assert(kept == std::min(limit, token.size()) ||
           (kept + 1 == limit && IsHighSurrogate(token[kept]) && IsLowSurrogate(token[limit])));
  }
  assert(line.find(u'"') != line.npos || joined == unseparated);
  return 0;
}
