// Runs the fault probe, and reads the pointers in its reports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/support.h"

namespace kelvane::testing {

// The probe writes one ended statement, leaves a second one in the buffer
// and faults as its argument says.
extern const std::string ProbeBefore;
extern const std::string ProbePending;

// The probe's file name, which its reports give as the module.
std::string ProbeModule();

RunResult RunProbe(const std::string& fault, const RunOptions& options = {});

// A pointer as the report prints it: as many hexadecimal digits as a
// pointer has on this build.
std::string Pointer(std::uintptr_t value);

// Matches text against a pattern in which each '@' stands for a pointer as
// the report prints it; gives the pointers' values, or nothing on a mismatch.
std::optional<std::vector<std::uintptr_t>> MatchPointers(std::string_view text, std::string_view pattern);

}  // namespace kelvane::testing
