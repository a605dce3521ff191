// Splitting of a Windows command line into arguments. Platform-free, so
// that its rules are checked everywhere; Unit is the code unit of the line
// (a 16-bit unit on Windows).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/wide_text.h"

namespace kelvane {

// The tokens of a command line, the program name first. Units from 0x01 to
// 0x20 separate tokens; a double quote opens a stretch, closed by the next
// one or the end of the line, in which separators count as text; quoted
// and unquoted stretches join into one token, and quotes never become part
// of it. A pair of empty quotes where a token would start is a separator.
// There is no escape character. The first empty token ends the list.
template <typename Unit>
std::vector<std::basic_string<Unit>> SplitCommandLine(std::basic_string_view<Unit> line) {
  std::size_t i = 0;
  // The end of the line reads as the terminating NUL.
  const auto at = [&](std::size_t k) -> char32_t { return k < line.size() ? line[k] : 0; };
  std::vector<std::basic_string<Unit>> tokens;
  for (;;) {
    for (;;) {
      while (at(i) >= 0x01 && at(i) <= 0x20) ++i;
      if (at(i) != '"' || at(i + 1) != '"') break;
      i += 2;
    }
    std::basic_string<Unit> token;
    while (at(i) > 0x20) {
      if (at(i) != '"') {
        token += line[i++];
        continue;
      }
      for (++i; i < line.size() && line[i] != '"'; ++i) token += line[i];
      if (i < line.size()) ++i;
    }
    if (token.empty()) return tokens;
    tokens.push_back(std::move(token));
  }
}

// The first `limit` units of a token, one fewer where the cut would
// separate the two halves of a surrogate pair.
template <typename Unit>
std::basic_string_view<Unit> KeepUnits(std::basic_string_view<Unit> token, std::size_t limit) {
  if (token.size() <= limit) return token;
  if (limit > 0 && IsHighSurrogate(static_cast<char16_t>(token[limit - 1])) &&
      IsLowSurrogate(static_cast<char16_t>(token[limit])))
    --limit;
  return token.substr(0, limit);
}

}  // namespace kelvane
