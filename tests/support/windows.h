// What only the Windows tests need of the support.
#pragma once

#include "support/support.h"

namespace kelvane::testing {

// Runs a program with this text after its name, exactly as written:
// Windows hands a program its command line, not a list.
RunResult RunCommandLine(const std::string& program, const std::string& arguments,
                         const RunOptions& options = {});

}  // namespace kelvane::testing
