#include "expiry/run_options.h"

#include <string_view>

#include "expiry/day_number.h"
#include "runtime/arguments.h"
#include "runtime/console.h"

namespace kelvane {
namespace {

constexpr std::string_view KeepWord = "--keep=";

// A count of entries: decimal digits only, within 32 bits. A word the
// command line cut short has lost digits, so it is no count at all.
bool ReadCount(std::string_view digits, bool cut, std::uint32_t& count) {
  if (cut || digits.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return false;
  }
  count = static_cast<std::uint32_t>(value);
  return true;
}

// Takes one option word; returns the refusal, empty when taken.
std::string TakeOption(std::string_view word, bool cut, RunOptions& options) {
  if (word == "--dry-run") {
    options.dryRun = true;
    return {};
  }
  if (word.starts_with(KeepWord)) {
    if (ReadCount(word.substr(KeepWord.size()), cut, options.keep)) return {};
    return "kelvane: --keep needs a whole number from 0 to 4294967295: " + Printable(word);
  }
  return "kelvane: unknown option " + Printable(word) + " (the options are --dry-run and --keep=N)";
}

}  // namespace

std::string ReadRunOptions(RunOptions& options) {
  bool historyRead = false;
  for (std::int32_t n = 2; n <= ArgumentCount(); ++n) {
    const std::string word = Argument(n);
    if (word.starts_with("--")) {
      if (std::string refusal = TakeOption(word, ArgumentWasCut(n), options); !refusal.empty())
        return refusal;
    } else if (!historyRead) {
      historyRead = true;
      const std::int32_t history = LeadingInteger(word);
      if (history >= 1) options.history = history;
    }
  }
  return {};
}

}  // namespace kelvane
