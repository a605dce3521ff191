#include "expiry/tree_removal.h"

#include "expiry/tree_walk.h"
#include "runtime/console.h"

namespace kelvane {
namespace {

// How often the removal of one entry starts over from the archive after a
// directory above the walk could not be reached again.
constexpr int Attempts = 3;

}  // namespace

Status EraseOrOpen(Directory& parent, const std::string& name, std::uint8_t attributes, Directory& child) {
  if (!(attributes & AttrDirectory)) {
    const Status erased = EraseFile(parent, name);
    if (erased.outcome != Outcome::IsDirectory) return erased;
  }
  const Status opened = OpenSubdirectory(parent, name, child);
  return opened.outcome == Outcome::NotDirectory ? EraseFile(parent, name) : opened;
}

void Removal::Report(const std::string& path, const Status& status) {
  {
    std::lock_guard lock(mutex);
    clean = false;
    if (!reported.insert(path).second) return;
  }
  WriteErrorLine("kelvane: cannot remove " + Printable(path) + ": " + ErrorText(status));
}

void Removal::Lose(const Status& status, const std::string& path) {
  std::lock_guard lock(mutex);
  if (!lost.ok()) return;
  lost = status;
  lostPath = path;
}

bool RemoveTree(RemovalCrew& crew, Directory& parent, const std::string& parentPath, const std::string& name,
                std::uint8_t attributes) {
  if (attributes & AttrDirectory) crew.Start();
  Removal removal(crew, parent, parentPath);
  // The archive stays open throughout, so a walk that lost its way can
  // start again from the entry's name: what was removed stays removed, and
  // a directory moved out of the tree is no longer part of it.
  for (int attempt = 1;; ++attempt) {
    removal.lost = {};
    removal.done = false;
    if (WalkEntry(removal, name, attributes)) crew.RunTasks(removal.done);
    if (removal.lost.ok()) return removal.clean;
    // Where the last walk stopped stays, and so does the entry, with what
    // that walk did not reach below it.
    if (attempt == Attempts) {
      removal.Report(removal.lostPath, removal.lost);
      removal.Report(parentPath + name, removal.lost);
      return false;
    }
  }
}

}  // namespace kelvane
