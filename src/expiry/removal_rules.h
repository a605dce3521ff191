// What the removal of one expired entry decides, on whichever thread meets
// the question: what counts as removed, what stays and is reported, and
// when a walk that lost its way starts over. The walk and the directories
// that wait for other threads decide through here and nowhere else.
//
// What stays, stays with everything above it: a directory whose entry
// stays is never removed, and neither is anything that holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "runtime/file_system.h"

namespace kelvane {

class RemovalCrew;

// An entry that vanished by itself, removed by someone else meanwhile,
// counts as removed.
inline bool Removed(const Status& status) { return status.ok() || status.outcome == Outcome::Gone; }

// A search that ended this way has read its directory to its end. A
// directory removed by someone else while it is read reads as gone: it
// vanished by itself.
inline bool ReadToEnd(const Status& search) {
  return search.outcome == Outcome::NoMoreEntries || search.outcome == Outcome::Gone;
}

// Where the file system refuses every change, the directory that holds
// the entry stays and is reported, rather than each entry in it.
inline bool RefusesEveryChange(const Status& status) { return status.outcome == Outcome::ReadOnly; }

// Erases the file `name` of `parent`, or opens it into `child` where it
// is a directory, as the attributes its listing gave say first and the
// system says after. Returns why neither could be done, or how the erasure
// went; `child` is open only where it was opened.
Status EraseOrOpen(Directory& parent, const std::string& name, std::uint8_t attributes, Directory& child);

// The record of one expired entry's removal, shared by the threads that
// work on it, over every attempt.
class Ledger {
 public:
  Ledger(RemovalCrew& crew, Directory& archive, const std::string& archivePath, const std::string& name)
      : crew_(crew), archive_(archive), archivePath_(archivePath), name_(name) {}

  RemovalCrew& Crew() { return crew_; }
  const std::string& ArchivePath() const { return archivePath_; }
  // The archive as a shared directory that is never closed through it.
  std::shared_ptr<Directory> Archive() { return {std::shared_ptr<Directory>(), &archive_}; }

  // True where an entry that ended with `status` stays; then it is
  // reported as `path()` names it, once.
  template <typename PathFn>
  bool Stays(const Status& status, PathFn path) {
    if (Removed(status)) return false;
    Report(path(), status);
    return true;
  }
  // Reports a path that stays, once: a walk that starts over meets again
  // what it reported before.
  void Report(const std::string& path, const Status& status);
  // A walk lost its way at `path`: the attempt ends, and the next starts
  // over from the archive.
  void Lose(const Status& status, const std::string& path);
  // Ends an attempt: true where its walk lost its way and another attempt
  // follows. After the last, where that walk stopped stays, and so does
  // the entry, with what the walk did not reach below it: both are
  // reported.
  bool StartsOver();
  // True when nothing was reported.
  bool Clean() const { return clean_; }

  // The entry and all work below it ended: the main thread, waiting in
  // the crew, goes on.
  void MarkDone();
  const std::atomic<bool>& Done() const { return done_; }

 private:
  RemovalCrew& crew_;
  Directory& archive_;
  const std::string& archivePath_;
  const std::string& name_;
  int attempt_ = 1;
  std::atomic<bool> done_ = false;  // set by the crew, under its lock

  std::mutex mutex_;  // guards what follows
  std::unordered_set<std::string> reported_;
  bool clean_ = true;
  Status lost_;  // why a walk of this attempt lost its way, when one did
  std::string lostPath_;
};

}  // namespace kelvane
