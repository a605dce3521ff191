// Each thread walks its part of a tree depth first, as one thread alone
// would: it erases files as it reads them, descends into each
// subdirectory, and removes a directory once it has read it to its end. A
// subdirectory met beside another goes to the crew instead, while other
// threads want work; then the directories above it get nodes, and the
// last thread to end the work below one removes it.
#include "expiry/tree_walk.h"

#include <deque>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "expiry/node_tree.h"
#include "expiry/removal_crew.h"
#include "expiry/walk_nodes.h"
#include "expiry/walk_trail.h"

namespace kelvane {
namespace {

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// The entries that stay in the directories of a walk, so that a second
// read of a directory passes them; looked up by depth and name without a
// copy of the name, as the deque that holds them never moves one.
class StayingEntries {
 public:
  void Add(std::size_t depth, const std::string& name) {
    entries_.push_back({depth, name});
    keys_.insert({depth, entries_.back().name});
  }
  bool Contains(std::size_t depth, const std::string& name) const { return keys_.contains({depth, name}); }
  // Forgets those deeper than `depth`, whose directories were left.
  void ForgetBelow(std::size_t depth) {
    while (!entries_.empty() && entries_.back().depth > depth) {
      keys_.erase({entries_.back().depth, entries_.back().name});
      entries_.pop_back();
    }
  }

 private:
  struct Entry {
    std::size_t depth;
    std::string name;
  };
  using Key = std::pair<std::size_t, std::string_view>;
  struct KeyHash {
    std::size_t operator()(const Key& key) const {
      return std::hash<std::string_view>{}(key.second) + key.first;
    }
  };
  std::deque<Entry> entries_;  // deepest last
  std::unordered_set<Key, KeyHash> keys_;
};

// One thread's walk: the expired entry from the archive, or a subdirectory
// offered to it.
class TreeWalk {
 public:
  explicit TreeWalk(Ledger& ledger) : ledger_(ledger), nodes_(ledger) {}
  bool WalkEntry(const std::string& name, std::uint8_t attributes);
  void WalkOffered(Offer& offer);

 private:
  Directory& Current() { return trail_.Empty() ? *top_ : *trail_.Slot(trail_.Depth() - 1); }
  void Step();
  void Enter(const std::string& name, std::uint8_t attributes);
  bool OfferToCrew(const std::string& name);
  void Descend(const std::string& name, Directory child);
  void Leave();
  bool ReopenParent(Directory& left);
  void Abandon(const Status& status);
  void Settle(const std::string& name, const Status& status);
  void Refuse(const Status& status);
  void MarkStaying(const std::string& name);
  bool Passes(const std::string& name);

  Ledger& ledger_;
  Directory* top_ = nullptr;  // the archive, for the walk of the expired entry
  Trail trail_;
  WalkNodes nodes_;
  StayingEntries staying_;
  SearchEntry entry_;
};

bool TreeWalk::WalkEntry(const std::string& name, std::uint8_t attributes) {
  top_ = ledger_.Archive().get();
  trail_.Start(ledger_.ArchivePath());
  Enter(name, attributes);
  while (!trail_.Empty()) Step();
  return nodes_.AnyMade();
}

// The subdirectory is opened here, relative to its parent, as the walker
// would have: never through a link, never into another mount.
void TreeWalk::WalkOffered(Offer& offer) {
  Directory child;
  const Status opened = EraseOrOpen(*offer.parentDir, offer.name, AttrDirectory, child);
  if (!child.IsOpen()) {
    OfferedDone(offer, ledger_.Stays(opened, [&] { return offer.parentPath + offer.name; }));
    return;
  }
  // The parent stays open only while others need it.
  offer.parentDir.reset();
  auto node = std::make_shared<Node>(std::move(offer.parent), offer.name);
  auto dir = std::make_shared<Directory>(std::move(child));
  Hold(*node, dir);
  trail_.Start(std::move(offer.parentPath));
  trail_.Push(offer.name);
  trail_.Slot(0) = std::move(dir);
  nodes_.Adopt(std::move(node));
  while (!trail_.Empty()) Step();
}

// Reads the next entry of the innermost directory and deals with it; at
// the end of the directory goes back up and removes it.
void TreeWalk::Step() {
  Level& level = trail_.Innermost();
  if (level.searching) {
    SearchNext(Current(), entry_);
  } else {
    SearchFrom(Current(), SearchAnyEntry, level.position, entry_);
    level.searching = true;
    level.resumed = level.position != SearchStart;
  }
  if (SearchStatus.ok()) {
    level.position = entry_.Position;
    if (!IsDotOrDotDot(entry_.Name) && !Passes(entry_.Name)) Enter(entry_.Name, entry_.Attributes);
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
  if (!ReadToEnd(SearchStatus)) return Refuse(SearchStatus);
  Leave();
}

// Erases a file or link, or opens a directory to be emptied next; a
// subdirectory may go to another thread instead.
void TreeWalk::Enter(const std::string& name, std::uint8_t attributes) {
  if ((attributes & AttrDirectory) && OfferToCrew(name)) return;
  Directory child;
  const Status status = EraseOrOpen(Current(), name, attributes, child);
  if (child.IsOpen())
    Descend(name, std::move(child));
  else
    Settle(name, status);
}

// Offers a subdirectory of the innermost directory to the crew while other
// threads want work. The first subdirectory of a directory is always
// walked here, so that a chain of single directories never changes
// threads.
bool TreeWalk::OfferToCrew(const std::string& name) {
  if (trail_.Empty()) return false;
  const bool second = std::exchange(trail_.Innermost().metSubdir, true);
  RemovalCrew& crew = ledger_.Crew();
  if (!second || !crew.WantsWork()) return false;
  const std::size_t depth = trail_.Depth() - 1;
  const std::shared_ptr<Node>& parent = nodes_.MakeFor(trail_, depth);
  parent->pending.fetch_add(1);
  SendAway(*parent, name);
  Offer offer{&ledger_, parent, trail_.Slot(depth), trail_.Path(), name};
  crew.Offer([offer]() mutable { TreeWalk(*offer.ledger).WalkOffered(offer); });
  return true;
}

void TreeWalk::Descend(const std::string& name, Directory child) {
  std::shared_ptr<Directory>& slot = trail_.Slot(trail_.Depth());
  if (slot) {
    // The ancestor leaving the window is reached again through ".." on the
    // way back up; what is met there must be this very directory.
    const std::size_t leaving = trail_.Depth() - OpenDirectoryWindow;
    if (const Status identified = IdentifyDirectory(*slot); !identified.ok()) return Abandon(identified);
    trail_.At(leaving).id = slot->id;
    if (Node* node = nodes_.At(leaving)) LetGo(*node, slot->id);
    // Closed when the last thread that uses it lets go of it.
    slot.reset();
  }
  slot = std::make_shared<Directory>(std::move(child));
  trail_.Push(name);
}

// The innermost directory has been read to its end: close it and remove it
// from its parent, opening the parent again where it was closed. A
// directory with work still under way on other threads is removed by
// whichever thread ends that work.
void TreeWalk::Leave() {
  std::shared_ptr<Directory> left = std::move(trail_.Slot(trail_.Depth() - 1));
  Level level;
  const std::string name = trail_.Pop(level);
  staying_.ForgetBelow(trail_.Depth());
  if (!trail_.Empty() && !trail_.Slot(trail_.Depth() - 1) && !ReopenParent(*left)) return;
  if (nodes_.DirectoryDone(trail_.Depth(), level.stays, std::move(left))) return;
  // Windows removes a directory only once no handle on it is open.
  left.reset();
  if (level.stays)
    MarkStaying(name);
  else
    Settle(name, RemoveDirectory(Current(), name));
}

// Opens the innermost directory again through ".." from the one just left,
// and checks it is the one the walk left there.
bool TreeWalk::ReopenParent(Directory& left) {
  auto reopened = std::make_shared<Directory>();
  const std::size_t depth = trail_.Depth() - 1;
  if (const Status status = OpenParent(left, trail_.At(depth).id, *reopened); !status.ok()) {
    Abandon(status);
    return false;
  }
  trail_.Slot(depth) = reopened;
  trail_.Innermost().searching = false;
  trail_.Innermost().reread = true;
  if (Node* node = nodes_.At(depth)) Hold(*node, reopened);
  return true;
}

// A directory above the walk is no longer where it was, or cannot be
// opened again: nothing more can be removed safely from here, so this walk
// stops, and what it held stays.
void TreeWalk::Abandon(const Status& status) {
  ledger_.Lose(status, trail_.InnermostPath());
  nodes_.Abandon();
  trail_.Clear();
  staying_.ForgetBelow(0);
}

// An entry that was not removed is reported, and stays. Where the file
// system refuses every change, its directory is reported instead, once.
void TreeWalk::Settle(const std::string& name, const Status& status) {
  if (RefusesEveryChange(status) && !trail_.Empty()) return Refuse(status);
  if (ledger_.Stays(status, [&] { return trail_.Path() + name; })) MarkStaying(name);
}

// The innermost directory stays, with what it still holds, and is
// reported; it is read no further.
void TreeWalk::Refuse(const Status& status) {
  ledger_.Report(trail_.InnermostPath(), status);
  trail_.Innermost().stays = true;
  Leave();
}

void TreeWalk::MarkStaying(const std::string& name) {
  if (trail_.Empty()) return;
  trail_.Innermost().stays = true;
  staying_.Add(trail_.Depth(), name);
}

// True where a read of the innermost directory passes the entry: only a
// directory read again can list an entry that stays, or one that another
// thread walks.
bool TreeWalk::Passes(const std::string& name) {
  if (!trail_.Innermost().reread) return false;
  if (staying_.Contains(trail_.Depth(), name)) return true;
  Node* node = nodes_.At(trail_.Depth() - 1);
  return node != nullptr && IsAway(*node, name);
}

}  // namespace

bool WalkEntry(Ledger& ledger, const std::string& name, std::uint8_t attributes) {
  return TreeWalk(ledger).WalkEntry(name, attributes);
}

}  // namespace kelvane
