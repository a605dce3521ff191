// Arbitrary Windows command lines, as the 16-bit units the system hands
// over. What must hold: no token is empty or holds a double quote; where
// the line has no quote, the tokens are its stretches between separators
// up to the first NUL; a kept token is never longer than the limit.
#include <cassert>

#include "runtime/command_line.h"

using namespace kelvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // libFuzzer hands over a buffer of its own allocation, aligned for any unit.
  std::u16string line(reinterpret_cast<const char16_t*>(data), size / 2), joined, unseparated;
  for (const char16_t unit : line.substr(0, line.find(u'\0')))
    if (unit > 0x20) unseparated += unit;
  for (const std::u16string& token : SplitCommandLine<char16_t>(line)) {
    assert(!token.empty() && token.find(u'"') == token.npos &&
           KeepUnits<char16_t>(token, size % 300).size() <= size % 300);
    joined += token;
  }
  assert(line.find(u'"') != line.npos || joined == unseparated);
  return 0;
}
