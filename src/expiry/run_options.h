// What the command line asks of a run: the classic history argument, and
// the option words that may stand anywhere after the archive path.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

inline constexpr std::int32_t DefaultHistory = 40;

struct RunOptions {
  std::int32_t history = DefaultHistory;
  bool dryRun = false;     // report what would go, change nothing
  std::uint32_t keep = 0;  // the newest dated entries never removed
};

// Reads the arguments after the archive path (argument 1). Every word that
// begins with "--" is an option and taken out; the first argument left is
// the history, later ones are ignored, as they always were. Returns the
// line that refuses a word, empty when every word was taken.
std::string ReadRunOptions(RunOptions& options);

}  // namespace kelvane
