// Removal of one archive entry: a file, or a directory with everything
// below it, on several threads where the tree has work to share.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

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

// An entry that vanished by itself, removed by someone else meanwhile,
// counts as removed.
inline bool Removed(const Status& status) { return status.ok() || status.outcome == Outcome::Gone; }

// Erases the file `name` of `parent`, or opens it into `child` where it
// is a directory, as the attributes its listing gave say first and the
// system says after. Returns why neither could be done, or how the erasure
// went; `child` is open only where it was opened.
Status EraseOrOpen(Directory& parent, const std::string& name, std::uint8_t attributes, Directory& child);

// What the threads removing one expired entry share, over every attempt.
struct Removal {
  Removal(RemovalCrew& removalCrew, Directory& archiveDir, const std::string& archivePathText)
      : crew(removalCrew), archive(archiveDir), archivePath(archivePathText) {}

  RemovalCrew& crew;
  Directory& archive;
  const std::string& archivePath;

  // The entry and all work below it ended; set by the crew, under its lock.
  std::atomic<bool> done = false;

  // Reports a path that stays, once: a walk that starts over meets again
  // what it reported before.
  void Report(const std::string& path, const Status& status);
  // A walk lost its way at `path`: the attempt ends, and the next starts
  // over from the archive.
  void Lose(const Status& status, const std::string& path);
  // The archive as a shared directory that is never closed through it.
  std::shared_ptr<Directory> Archive() { return {std::shared_ptr<Directory>(), &archive}; }

  std::mutex mutex;  // guards what follows
  std::unordered_set<std::string> reported;
  bool clean = true;
  Status lost;  // why a walk of this attempt lost its way, when one did
  std::string lostPath;
};

}  // namespace kelvane
