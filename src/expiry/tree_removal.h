// Removal of one archive entry: a file, or a directory with everything
// below it, on several threads where the tree has work to share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/file_system.h"

namespace kelvane {

// The threads that help the calling thread remove trees: one fewer than
// the processors the process may use, as far as its open-file limit
// allows. They start with the first tree to remove and stop when this is
// destroyed.
class RemovalCrew {
 public:
  RemovalCrew();
  ~RemovalCrew();
  RemovalCrew(const RemovalCrew&) = delete;
  RemovalCrew& operator=(const RemovalCrew&) = delete;

  struct Shared;
  Shared& shared() { return *shared_; }

 private:
  std::unique_ptr<Shared> shared_;
};

// Removes the entry `name` of the open directory `parent`, whose path is
// `parentPath` (ending in a separator). Links are removed, never followed;
// directories on another file system are not entered. Every path that
// stays for a reason of its own is reported on standard error; the
// directories above it stay silently. Returns true when nothing was
// reported.
bool RemoveTree(RemovalCrew& crew, Directory& parent, const std::string& parentPath, const std::string& name,
                std::uint8_t attributes);

}  // namespace kelvane
