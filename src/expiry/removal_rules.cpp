#include "expiry/removal_rules.h"

#include "expiry/removal_crew.h"
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

void Ledger::Report(const std::string& path, const Status& status) {
  {
    std::lock_guard lock(mutex_);
    clean_ = false;
    if (!reported_.insert(path).second) return;
  }
  WriteErrorLine("kelvane: cannot remove " + Printable(path) + ": " + ErrorText(status));
}

void Ledger::Lose(const Status& status, const std::string& path) {
  std::lock_guard lock(mutex_);
  if (!lost_.ok()) return;
  lost_ = status;
  lostPath_ = path;
}

bool Ledger::StartsOver() {
  if (lost_.ok()) return false;
  if (attempt_ == Attempts) {
    Report(lostPath_, lost_);
    Report(archivePath_ + name_, lost_);
    return false;
  }
  ++attempt_;
  lost_ = {};
  done_ = false;
  return true;
}

void Ledger::MarkDone() { crew_.MarkDone(done_); }

}  // namespace kelvane
