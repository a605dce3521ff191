// Removal of one archive entry: a file, or a directory with everything
// below it, on several threads where the tree has work to share.
#pragma once

#include <cstdint>
#include <string>

#include "expiry/removal_crew.h"
#include "runtime/file_system.h"

namespace kelvane {

// Removes the entry `name` of the open directory `parent`, whose path is
// `parentPath` (ending in a separator). Links are removed, never followed;
// directories on another file system are not entered. Every path that
// stays for a reason of its own is reported on standard error; the
// directories above it stay silently. Returns true when nothing was
// reported.
bool RemoveTree(RemovalCrew& crew, Directory& parent, const std::string& parentPath, const std::string& name,
                std::uint8_t attributes);

}  // namespace kelvane
