// Each thread walks its part of a tree depth first, as one thread alone
// would: it erases files as it reads them, descends into each
// subdirectory, and removes a directory once it has read it to its end. A
// subdirectory met beside another goes to the crew instead, while other
// threads want work; then the directories above it get nodes, and the
// crew removes them once everything below has gone.
#include "expiry/tree_walk.h"

#include <deque>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "expiry/removal_crew.h"
#include "expiry/tree_removal.h"

namespace kelvane {
namespace {

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// One directory on the way down from the top of a walk. A chain of a
// hundred thousand directories holds as many of these, so it stays small;
// the open directories themselves live in the window.
struct Level {
  DirectoryId id;          // read when it leaves the window, checked when opened again
  std::size_t nameStart;   // this directory's name starts here in the path
  bool searching = false;  // SearchFrom has run on its open directory
  bool resumed = false;    // the search went on from a position, so it may have passed entries
  bool reread = false;     // opened again, so it may list entries that stay
  bool keep = false;       // something below stays, so this stays too
  bool metSubdir = false;  // a subdirectory of it was met before
  // A search opened again goes on here and misses no entry not yet read.
  SearchPosition position = SearchStart;
};

// An entry that stays, so that a second read of its directory passes it.
struct Kept {
  std::size_t depth;
  std::string name;
};

// Kept entries are looked up by depth and name without a copy of the name:
// the deque that holds them never moves one.
using KeptKey = std::pair<std::size_t, std::string_view>;
struct KeptKeyHash {
  std::size_t operator()(const KeptKey& key) const {
    return std::hash<std::string_view>{}(key.second) + key.first;
  }
};

// One thread's walk: the expired entry from the archive, or a subdirectory
// offered to it.
class TreeWalk {
 public:
  explicit TreeWalk(Removal& removal) : removal_(removal) {}

  bool WalkEntry(const std::string& name, std::uint8_t attributes) {
    top_ = &removal_.archive;
    path_ = removal_.archivePath;
    Enter(name, attributes);
    while (!levels_.empty()) Step();
    return entryNodeMade_;
  }

  // The subdirectory is opened here, relative to its parent, as the walker
  // would have: never through a link, never into another mount.
  void WalkOffered(Task& task) {
    Directory child;
    const Status opened = EraseOrOpen(*task.parentDir, task.name, AttrDirectory, child);
    if (!child.IsOpen()) {
      const bool stays = !Removed(opened);
      if (stays) removal_.Report(task.parentPath + task.name, opened);
      OfferedDone(task, stays);
      return;
    }
    // The parent stays open only while others need it.
    task.parentDir.reset();
    auto node = std::make_shared<Node>(std::move(task.parent), task.name);
    auto dir = std::make_shared<Directory>(std::move(child));
    Hold(*node, dir);
    path_ = std::move(task.parentPath);
    levels_.push_back(Level{{}, path_.size()});
    path_ += task.name;
    path_ += PathSeparator;
    Window(0) = std::move(dir);
    nodes_.push_back(std::move(node));
    while (!levels_.empty()) Step();
  }

 private:
  // Level k keeps its directory in slot k % OpenDirectoryWindow: entering a
  // level closes the ancestor that held the slot before it. A slot is made
  // when the walk first goes that deep.
  std::shared_ptr<Directory>& Window(std::size_t depth) {
    const std::size_t slot = depth % OpenDirectoryWindow;
    if (slot >= window_.size()) window_.resize(slot + 1);
    return window_[slot];
  }

  Directory& Current() { return levels_.empty() ? *top_ : *Window(levels_.size() - 1); }

  const std::shared_ptr<Node>* NodeOf(std::size_t depth) const {
    return depth < nodes_.size() ? &nodes_[depth] : nullptr;
  }

  // Reads the next entry of the innermost directory and deals with it;
  // at the end of the directory goes back up and removes it.
  void Step() {
    Level& level = levels_.back();
    if (level.searching) {
      SearchNext(Current(), entry_);
    } else {
      SearchFrom(Current(), SearchAnyEntry, level.position, entry_);
      level.searching = true;
      level.resumed = level.position != SearchStart;
    }
    if (SearchStatus.ok()) {
      level.position = entry_.Position;
      if (!IsDotOrDotDot(entry_.Name) && !IsKept(entry_.Name)) Enter(entry_.Name, entry_.Attributes);
      return;
    }
    // A search that went on from a position may have passed entries, and so
    // may those before it: the directory is read once more from its
    // beginning, past the entries that stay, which costs it one reading more
    // however often it was opened again. A file system that refuses the
    // position is read from its beginning too.
    if (level.resumed) {
      level.position = SearchStart;
      level.searching = false;
      return;
    }
    // A directory removed by someone else while it is read reads as gone:
    // it vanished by itself.
    if (SearchStatus.outcome != Outcome::NoMoreEntries && SearchStatus.outcome != Outcome::Gone)
      return Refuse(SearchStatus);
    Leave();
  }

  // Erases a file or link, or opens a directory to be emptied next; a
  // subdirectory may go to another thread instead.
  void Enter(const std::string& name, std::uint8_t attributes) {
    if ((attributes & AttrDirectory) && Offer(name)) return;
    Directory child;
    const Status status = EraseOrOpen(Current(), name, attributes, child);
    if (child.IsOpen())
      Descend(name, std::move(child));
    else
      Account(name, status);
  }

  // Offers a subdirectory of the innermost directory to the crew while
  // other threads want work. The first subdirectory of a directory is
  // always walked here, so that a chain of single directories never
  // changes threads.
  bool Offer(const std::string& name) {
    if (levels_.empty()) return false;
    const bool second = std::exchange(levels_.back().metSubdir, true);
    if (!second || !removal_.crew.WantsWork()) return false;
    const std::shared_ptr<Node> parent = NodeFor(levels_.size() - 1);
    parent->pending.fetch_add(1);
    {
      std::lock_guard lock(parent->mutex);
      parent->away.insert(name);
    }
    removal_.crew.Offer({&removal_, parent, Window(levels_.size() - 1), path_, name});
    return true;
  }

  // The node of level `depth`, made with those of the levels above it
  // where they have none yet.
  const std::shared_ptr<Node>& NodeFor(std::size_t depth) {
    while (nodes_.size() <= depth) {
      const std::size_t d = nodes_.size();
      std::shared_ptr<Node> parent = d == 0 ? nullptr : nodes_[d - 1];
      if (parent) parent->pending.fetch_add(1);
      const std::size_t end = d + 1 < levels_.size() ? levels_[d + 1].nameStart : path_.size();
      auto node = std::make_shared<Node>(std::move(parent),
                                         path_.substr(levels_[d].nameStart, end - levels_[d].nameStart - 1));
      node->keep = levels_[d].keep;
      node->id = levels_[d].id;
      if (levels_.size() - d <= OpenDirectoryWindow) node->open = Window(d);
      entryNodeMade_ = true;
      nodes_.push_back(std::move(node));
    }
    return nodes_[depth];
  }

  void Descend(const std::string& name, Directory child) {
    std::shared_ptr<Directory>& slot = Window(levels_.size());
    if (slot) {
      // The ancestor leaving the window is reached again through ".." on
      // the way back up; what is met there must be this very directory.
      const std::size_t leaving = levels_.size() - OpenDirectoryWindow;
      if (const Status identified = IdentifyDirectory(*slot); !identified.ok()) {
        Abandon(identified);
        return;
      }
      levels_[leaving].id = slot->id;
      if (const auto* node = NodeOf(leaving)) LetGo(**node, slot->id);
      // Closed when the last thread that uses it lets go of it.
      slot.reset();
    }
    slot = std::make_shared<Directory>(std::move(child));
    levels_.push_back(Level{{}, path_.size()});
    path_ += name;
    path_ += PathSeparator;
  }

  // The innermost directory has been read to its end: close it and remove
  // it from its parent, opening the parent again where it was closed. A
  // directory with work still under way on other threads is removed by
  // whichever thread ends that work.
  void Leave() {
    std::shared_ptr<Directory> doneDir = std::move(Window(levels_.size() - 1));
    const Level done = levels_.back();
    levels_.pop_back();
    while (!kept_.empty() && kept_.back().depth > levels_.size()) {
      keptKeys_.erase({kept_.back().depth, kept_.back().name});
      kept_.pop_back();
    }
    const std::string name = path_.substr(done.nameStart, path_.size() - done.nameStart - 1);
    path_.resize(done.nameStart);
    if (!levels_.empty() && !Window(levels_.size() - 1)) {
      auto reopened = std::make_shared<Directory>();
      if (const Status status = OpenParent(*doneDir, levels_.back().id, *reopened); !status.ok()) {
        Abandon(status);
        return;
      }
      Window(levels_.size() - 1) = reopened;
      levels_.back().searching = false;
      levels_.back().reread = true;
      if (const auto* node = NodeOf(levels_.size() - 1)) Hold(**node, reopened);
    }
    if (nodes_.size() > levels_.size()) {
      std::shared_ptr<Node> node = std::move(nodes_.back());
      nodes_.pop_back();
      DirectoryDone(removal_, std::move(node), done.keep, std::move(doneDir));
      return;
    }
    // Windows removes a directory only once no handle on it is open.
    doneDir.reset();
    if (done.keep) {
      Keep(name);
    } else {
      Account(name, RemoveDirectory(Current(), name));
    }
  }

  // A directory above the walk is no longer where it was, or cannot be
  // opened again: nothing more can be removed safely from here, so this
  // walk stops, and what it held stays.
  void Abandon(const Status& status) {
    removal_.Lose(status, path_.substr(0, path_.size() - 1));
    while (!nodes_.empty()) {
      std::shared_ptr<Node> node = std::move(nodes_.back());
      nodes_.pop_back();
      DirectoryDone(removal_, std::move(node), true, nullptr);
    }
    path_.resize(levels_.front().nameStart);
    levels_.clear();
    kept_.clear();
    keptKeys_.clear();
    for (std::shared_ptr<Directory>& dir : window_) dir.reset();
  }

  // An entry that was not removed is reported, and stays. Where the file
  // system refuses every change, its directory is reported instead, once.
  void Account(const std::string& name, const Status& status) {
    if (Removed(status)) return;
    if (status.outcome == Outcome::ReadOnly && !levels_.empty()) return Refuse(status);
    removal_.Report(path_ + name, status);
    Keep(name);
  }

  // The innermost directory stays, with what it still holds, and is
  // reported; it is read no further.
  void Refuse(const Status& status) {
    removal_.Report(path_.substr(0, path_.size() - 1), status);
    levels_.back().keep = true;
    Leave();
  }

  void Keep(const std::string& name) {
    if (levels_.empty()) return;
    levels_.back().keep = true;
    kept_.push_back({levels_.size(), name});
    keptKeys_.insert({kept_.back().depth, kept_.back().name});
  }

  // Only a directory read again can list an entry that stays, or one that
  // another thread walks.
  bool IsKept(const std::string& name) {
    if (!levels_.back().reread) return false;
    if (keptKeys_.contains({levels_.size(), name})) return true;
    const auto* node = NodeOf(levels_.size() - 1);
    return node != nullptr && IsAway(**node, name);
  }

  Removal& removal_;
  Directory* top_ = nullptr;  // the archive, for the walk of the expired entry
  std::string path_;          // path of the innermost directory, ending in a separator
  std::deque<Level> levels_;
  std::vector<std::shared_ptr<Directory>> window_;
  std::vector<std::shared_ptr<Node>> nodes_;  // of the levels from the top down, where they have one
  bool entryNodeMade_ = false;
  std::deque<Kept> kept_;  // deepest last
  std::unordered_set<KeptKey, KeptKeyHash> keptKeys_;
  SearchEntry entry_;
};

}  // namespace

bool WalkEntry(Removal& removal, const std::string& name, std::uint8_t attributes) {
  return TreeWalk(removal).WalkEntry(name, attributes);
}

void WalkOffered(Task& task) { TreeWalk(*task.removal).WalkOffered(task); }

}  // namespace kelvane
