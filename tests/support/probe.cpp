#include "support/probe.h"

#include <cinttypes>
#include <cstdio>

#include "runtime/console.h"

namespace kelvane::testing {

namespace {

constexpr std::size_t PointerDigits = 2 * sizeof(void*);

}  // namespace

const std::string ProbeBefore = "written before the fault" + std::string(LineEnd);
const std::string ProbePending = "left in the buffer";

std::string ProbeModule() {
  const std::string path = FAULT_PROBE_BINARY;
  return path.substr(path.find_last_of("/\\") + 1);
}

RunResult RunProbe(const std::string& fault, const RunOptions& options) {
  return RunProgram(FAULT_PROBE_BINARY, {fault}, options);
}

std::string Pointer(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(PointerDigits), value);
  return text;
}

std::optional<std::vector<std::uintptr_t>> MatchPointers(std::string_view text, std::string_view pattern) {
  std::vector<std::uintptr_t> pointers;
  for (const char expected : pattern) {
    if (expected != '@') {
      if (text.empty() || text.front() != expected) return std::nullopt;
      text.remove_prefix(1);
      continue;
    }
    const std::string digits(text.substr(0, PointerDigits));
    if (digits.size() != PointerDigits || digits.find_first_not_of("0123456789ABCDEF") != std::string::npos)
      return std::nullopt;
    pointers.push_back(std::stoull(digits, nullptr, 16));
    text.remove_prefix(PointerDigits);
  }
  if (!text.empty()) return std::nullopt;
  return pointers;
}

}  // namespace kelvane::testing
