// The depth-first walk of one thread through a tree it removes, with an
// explicit stack on the heap and a small window of open directories.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

struct Removal;
struct Task;

// Walks the expired entry `name` of the removal's archive. True when the
// entry got a node: then whichever thread ends the last work below it
// removes it.
bool WalkEntry(Removal& removal, const std::string& name, std::uint8_t attributes);

// Walks a subdirectory that another thread offered.
void WalkOffered(Task& task);

}  // namespace kelvane
