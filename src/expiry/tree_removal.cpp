#include "expiry/tree_removal.h"

#include <deque>
#include <set>
#include <vector>

#include "runtime/console.h"

namespace kelvane {
namespace {

// How often the removal of one entry starts over from the archive after a
// directory above the walk could not be reached again.
constexpr int Attempts = 3;

// One directory on the way down from the removed entry. A chain of a
// hundred thousand directories holds as many of these, so it stays small;
// the open directories themselves live in the window.
struct Level {
  DirectoryId id;          // read when it leaves the window, checked when opened again
  std::size_t nameStart;   // this directory's name starts here in the path
  bool searching = false;  // SearchFirst has run on its open directory
  bool keep = false;       // something below stays, so this stays too
};

// An entry that stays, so that a second read of its directory passes it.
struct Kept {
  std::size_t depth;
  std::string name;
};

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// Walks the tree depth first with an explicit stack on the heap: the
// depth of the tree costs memory for one Level per directory, never stack.
class TreeWalk {
 public:
  TreeWalk(Directory& top, const std::string& topPath) : top_(top), path_(topPath) {}

  // The archive stays open throughout, so a walk that lost its way can
  // start again from the entry's name: what was removed stays removed, and
  // a directory moved out of the tree is no longer part of it.
  bool Remove(const std::string& name, std::uint8_t attributes) {
    for (int attempt = 1;; ++attempt) {
      lost_ = {};
      Enter(name, attributes);
      while (!levels_.empty()) Step();
      if (lost_.ok()) return clean_;
      if (attempt == Attempts) {
        Report(lostPath_, lost_);
        return false;
      }
    }
  }

 private:
  // Level k keeps its directory in slot k % OpenDirectoryWindow: entering a
  // level closes the ancestor that held the slot before it. A slot is made
  // when the walk first goes that deep.
  Directory& Window(std::size_t depth) {
    const std::size_t slot = depth % OpenDirectoryWindow;
    if (slot >= window_.size()) window_.resize(slot + 1);
    return window_[slot];
  }

  Directory& Current() { return levels_.empty() ? top_ : Window(levels_.size() - 1); }

  // Reads the next entry of the innermost directory and deals with it;
  // at the end of the directory goes back up and removes it.
  void Step() {
    Level& level = levels_.back();
    if (level.searching) {
      SearchNext(Current(), entry_);
    } else {
      SearchFirst(Current(), SearchAnyEntry, entry_);
      level.searching = true;
    }
    if (SearchStatus.ok()) {
      if (!IsDotOrDotDot(entry_.Name) && !IsKept(entry_.Name)) Enter(entry_.Name, entry_.Attributes);
      return;
    }
    // A directory removed by someone else while it is read reads as gone:
    // it vanished by itself.
    if (SearchStatus.outcome != Outcome::NoMoreEntries && SearchStatus.outcome != Outcome::Gone) {
      Report(path_.substr(0, path_.size() - 1), SearchStatus);
      level.keep = true;
    }
    Leave();
  }

  // Erases a file or link, or opens a directory to be emptied next.
  void Enter(const std::string& name, std::uint8_t attributes) {
    if (!(attributes & AttrDirectory)) {
      const Status erased = EraseFile(Current(), name);
      if (erased.outcome != Outcome::IsDirectory) {
        Settle(name, erased);
        return;
      }
    }
    Directory child;
    const Status opened = OpenSubdirectory(Current(), name, child);
    if (opened.outcome == Outcome::NotDirectory) {
      Settle(name, EraseFile(Current(), name));
    } else if (!opened.ok()) {
      Settle(name, opened);
    } else {
      Descend(name, std::move(child));
    }
  }

  void Descend(const std::string& name, Directory child) {
    Directory& slot = Window(levels_.size());
    if (slot.IsOpen()) {
      // The ancestor leaving the window is reached again through ".." on
      // the way back up; what is met there must be this very directory.
      if (const Status identified = IdentifyDirectory(slot); !identified.ok()) {
        Abandon(identified);
        return;
      }
      levels_[levels_.size() - OpenDirectoryWindow].id = slot.id;
      SearchClose(slot);
    }
    slot = std::move(child);
    levels_.push_back(Level{{}, path_.size()});
    path_ += name;
    path_ += PathSeparator;
  }

  // The innermost directory has been read to its end: close it and remove
  // it from its parent, opening the parent again where it was closed.
  void Leave() {
    Directory& doneDir = Current();
    const Level done = levels_.back();
    levels_.pop_back();
    while (!kept_.empty() && kept_.back().depth > levels_.size()) kept_.pop_back();
    const std::string name = path_.substr(done.nameStart, path_.size() - done.nameStart - 1);
    path_.resize(done.nameStart);
    if (!Current().IsOpen()) {
      const Status reopened = OpenParent(doneDir, levels_.back().id, Current());
      if (!reopened.ok()) {
        Abandon(reopened);
        return;
      }
      levels_.back().searching = false;
    }
    SearchClose(doneDir);
    if (done.keep) {
      Keep(name);
    } else {
      Settle(name, RemoveDirectory(Current(), name));
    }
  }

  // A directory above the walk is no longer where it was, or cannot be
  // opened again: nothing more can be removed safely from here, so this
  // walk stops.
  void Abandon(const Status& status) {
    lost_ = status;
    lostPath_ = path_.substr(0, path_.size() - 1);
    path_.resize(levels_.front().nameStart);
    levels_.clear();
    kept_.clear();
    for (Directory& dir : window_) SearchClose(dir);
  }

  // An entry that vanished by itself counts as removed.
  void Settle(const std::string& name, const Status& status) {
    if (status.ok() || status.outcome == Outcome::Gone) return;
    Report(path_ + name, status);
    Keep(name);
  }

  void Keep(const std::string& name) {
    if (levels_.empty()) return;
    levels_.back().keep = true;
    kept_.push_back({levels_.size(), name});
  }

  bool IsKept(const std::string& name) const {
    for (auto it = kept_.rbegin(); it != kept_.rend() && it->depth == levels_.size(); ++it)
      if (it->name == name) return true;
    return false;
  }

  // A walk that starts over meets again what it reported before.
  void Report(const std::string& path, const Status& status) {
    clean_ = false;
    if (!reported_.insert(path).second) return;
    WriteErrorLine("kelvane: cannot remove " + path + ": " + ErrorText(status));
  }

  Directory& top_;
  std::string path_;  // path of the innermost directory, ending in a separator
  std::deque<Level> levels_;
  std::deque<Directory> window_;  // grows without moving the directories in it
  std::vector<Kept> kept_;
  SearchEntry entry_;
  bool clean_ = true;
  Status lost_;  // why the latest walk stopped, when it did
  std::string lostPath_;
  std::set<std::string> reported_;
};

}  // namespace

bool RemoveTree(Directory& parent, const std::string& parentPath, const std::string& name,
                std::uint8_t attributes) {
  return TreeWalk(parent, parentPath).Remove(name, attributes);
}

}  // namespace kelvane
