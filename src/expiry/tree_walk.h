// The depth-first walk of one thread through a tree it removes, with an
// explicit stack on the heap and a small window of open directories.
#pragma once

#include <cstdint>
#include <string>

#include "expiry/removal_rules.h"

namespace kelvane {

// Walks the expired entry `name` of the ledger's archive. True when the
// entry got a node: then whichever thread ends the last work below it
// removes it, and the caller waits for that in the crew.
bool WalkEntry(Ledger& ledger, const std::string& name, std::uint8_t attributes);

}  // namespace kelvane
