// Each thread walks its part of a tree depth first, with an explicit stack
// on the heap and a small window of open directories, as one thread alone
// would. A thread that meets a second subdirectory of a directory while
// another thread waits for work hands the subdirectory over instead of
// descending into it. The directories above a subdirectory handed over can
// go only once it has gone: each of them gets a Node that counts the work
// still under way below it, and whichever thread settles the last of that
// work removes the directory and goes on up.
#include "expiry/tree_removal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "runtime/console.h"
#include "runtime/fault_report.h"
#include "runtime/process.h"

namespace kelvane {
namespace {

// How often the removal of one entry starts over from the archive after a
// directory above the walk could not be reached again.
constexpr int Attempts = 3;

// More threads than this gain nothing: removals within one directory wait
// for each other in the file system.
constexpr std::size_t MostThreads = 8;

// Open files one thread may hold beside its window of open directories: a
// subdirectory being opened, a directory handed over and waiting for a
// thread, and one the system opens to tell a mount point.
constexpr std::size_t FilesBesideWindow = 3;

// Open files the run holds beside its threads: the standard three, the
// archive, and a spare pair.
constexpr std::size_t FilesBesideThreads = 6;

// How long a thread looks for its next task before it sleeps: longer than
// a subdirectory of some hundred files takes another thread to remove.
constexpr std::chrono::milliseconds LookForTask{5};

bool IsDotOrDotDot(const std::string& name) { return name == "." || name == ".."; }

// A directory whose removal waits for work below it on other threads.
struct Node {
  Node(std::shared_ptr<Node> above, std::string entryName)
      : parent(std::move(above)), name(std::move(entryName)) {}

  const std::shared_ptr<Node> parent;  // null for the expired entry, which lies in the archive
  const std::string name;              // its name in its parent
  std::atomic<int> pending = 1;        // its walker's listing, and each child node not yet settled
  std::atomic<bool> keep = false;      // something below stays, so this stays too

  std::mutex mutex;  // guards what follows
  DirectoryId id;    // known once its walker let go of it: checked when it is reached through ".."
  std::weak_ptr<Directory> open;         // its walker's open directory, while the walker holds it
  std::unordered_set<std::string> away;  // children settled elsewhere, passed over on a second read
};

struct Removal;

// A subtree handed to another thread: its top directory, open.
struct Task {
  Removal* removal = nullptr;
  std::shared_ptr<Node> node;
  std::shared_ptr<Directory> dir;
  std::string path;  // the path of `dir`, ending in a separator
};

}  // namespace

struct RemovalCrew::Shared {
  std::size_t helpersWanted = 0;
  bool started = false;
  std::vector<std::thread> helpers;

  std::mutex mutex;              // guards what follows
  std::condition_variable wake;  // a task came, an entry was settled, or the crew stops
  std::deque<Task> tasks;
  std::atomic<bool> stopping = false;  // set under the lock, read with or without it

  std::atomic<std::size_t> queued = 0;  // tasks.size(), to be read without the lock

  // Threads waiting for a task and not yet promised one.
  std::atomic<std::size_t> idle = 0;

  // Promises a waiting thread the next task; false when none waits.
  bool ReserveHelper() {
    std::size_t waiting = idle.load(std::memory_order_relaxed);
    while (waiting > 0)
      if (idle.compare_exchange_weak(waiting, waiting - 1)) return true;
    return false;
  }

  void Push(Task task) {
    {
      std::lock_guard lock(mutex);
      tasks.push_back(std::move(task));
      queued = tasks.size();
    }
    wake.notify_one();
  }

  Task Pop() {
    Task task = std::move(tasks.front());
    tasks.pop_front();
    queued = tasks.size();
    return task;
  }

  // A thread that has just ended a task looks for the next one a moment
  // before it sleeps: it often comes within that moment, and then neither
  // the thread nor the one that hands it over makes a system call.
  void AwaitTask(const std::atomic<bool>& done) {
    const auto end = std::chrono::steady_clock::now() + LookForTask;
    while (queued.load(std::memory_order_relaxed) == 0 && !done.load(std::memory_order_relaxed) &&
           std::chrono::steady_clock::now() < end) {
    }
  }
};

namespace {

using Shared = RemovalCrew::Shared;

// What the threads removing one expired entry share, over every attempt.
struct Removal {
  Removal(Shared& crewShared, Directory& archiveDir, const std::string& archivePathText)
      : crew(crewShared), archive(archiveDir), archivePath(archivePathText) {}

  Shared& crew;
  Directory& archive;
  const std::string& archivePath;

  std::mutex mutex;  // guards what follows
  std::unordered_set<std::string> reported;
  bool clean = true;
  Status lost;  // why a walk of this attempt lost its way, when one did
  std::string lostPath;

  // The entry's walk and all work below it ended; set under the crew's lock.
  std::atomic<bool> settled = false;

  // A walk that starts over meets again what it reported before.
  void Report(const std::string& path, const Status& status) {
    {
      std::lock_guard lock(mutex);
      clean = false;
      if (!reported.insert(path).second) return;
    }
    WriteErrorLine("kelvane: cannot remove " + Printable(path) + ": " + ErrorText(status));
  }

  void Lose(const Status& status, const std::string& path) {
    std::lock_guard lock(mutex);
    if (!lost.ok()) return;
    lost = status;
    lostPath = path;
  }

  void Settle() {
    // The removal may end as soon as the lock is released.
    Shared& shared = crew;
    std::lock_guard lock(shared.mutex);
    settled = true;
    shared.wake.notify_all();
  }

  // The archive as a shared directory that is never closed through it.
  std::shared_ptr<Directory> Archive() {
    return std::shared_ptr<Directory>(std::shared_ptr<Directory>(), &archive);
  }
};

std::string PathOf(const Removal& removal, const Node& node) {
  std::vector<const Node*> chain;
  for (const Node* n = &node; n != nullptr; n = n->parent.get()) chain.push_back(n);
  std::string path = removal.archivePath;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (it != chain.rbegin()) path += PathSeparator;
    path += (*it)->name;
  }
  return path;
}

// The directory of a node's parent, for the removal of the node's own: its
// walker's while the walker holds it, else reached through ".." from the
// node's directory and checked; the archive for the expired entry.
std::shared_ptr<Directory> ReachParent(Removal& removal, const Node& node, Directory& dir) {
  if (!node.parent) return removal.Archive();
  Node& parent = *node.parent;
  DirectoryId id;
  {
    std::lock_guard lock(parent.mutex);
    if (std::shared_ptr<Directory> open = parent.open.lock()) return open;
    id = parent.id;
  }
  auto reached = std::make_shared<Directory>();
  if (const Status status = OpenParent(dir, id, *reached); !status.ok()) {
    removal.Lose(status, PathOf(removal, node));
    return nullptr;
  }
  return reached;
}

// A node whose work has all ended: its directory goes, or stays when
// something below it stays, and the parent is told. Goes on up while that
// was the last work of the parent. `dir` is the node's directory, open.
void SettleUpward(Removal& removal, std::shared_ptr<Node> node, std::shared_ptr<Directory> dir) {
  for (;;) {
    const std::shared_ptr<Node> parent = node->parent;
    std::shared_ptr<Directory> parentDir;
    bool stays = node->keep;
    if (!stays) {
      parentDir = ReachParent(removal, *node, *dir);
      stays = parentDir == nullptr;
    }
    // Windows removes a directory only once no handle on it is open.
    dir.reset();
    if (!stays) {
      const Status status = RemoveDirectory(*parentDir, node->name);
      if (!status.ok() && status.outcome != Outcome::Gone) {
        removal.Report(PathOf(removal, *node), status);
        stays = true;
      }
    }
    if (!parent) {
      removal.Settle();
      return;
    }
    {
      std::lock_guard lock(parent->mutex);
      if (stays)
        parent->away.insert(node->name);
      else
        parent->away.erase(node->name);
    }
    if (stays) parent->keep = true;
    if (parent->pending.fetch_sub(1) != 1) return;
    node = parent;
    dir = std::move(parentDir);
  }
}

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
  // Just after the entry read last: a search opened again goes on there.
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

// One thread's walk: the expired entry from the archive, or a subtree
// handed over to it.
class TreeWalk {
 public:
  explicit TreeWalk(Removal& removal) : removal_(removal) {}

  // Walks the expired entry `name` of the archive. True when the entry has
  // a node, which the last thread to end work below it settles.
  bool WalkEntry(const std::string& name, std::uint8_t attributes) {
    top_ = &removal_.archive;
    path_ = removal_.archivePath;
    Enter(name, attributes);
    while (!levels_.empty()) Step();
    return entryNodeMade_;
  }

  void WalkTask(Task& task) {
    path_ = std::move(task.path);
    {
      std::lock_guard lock(task.node->mutex);
      task.node->open = task.dir;
    }
    levels_.push_back(Level{{}, path_.size() - task.node->name.size() - 1});
    Window(0) = std::move(task.dir);
    nodes_.push_back(std::move(task.node));
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
    if (SearchStatus.outcome != Outcome::NoMoreEntries && SearchStatus.outcome != Outcome::Gone) {
      removal_.Report(path_.substr(0, path_.size() - 1), SearchStatus);
      level.keep = true;
    }
    Leave();
  }

  // Erases a file or link, or opens a directory to be emptied next, here
  // or by another thread.
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
    } else if (!HandOver(name, child)) {
      Descend(name, std::move(child));
    }
  }

  // The first subdirectory of a directory is always walked here, so that
  // a chain of single directories never changes threads.
  bool HandOver(const std::string& name, Directory& child) {
    if (levels_.empty()) return false;
    Level& level = levels_.back();
    const bool second = std::exchange(level.metSubdir, true);
    if (!second || !removal_.crew.ReserveHelper()) return false;
    const std::shared_ptr<Node> parent = NodeFor(levels_.size() - 1);
    parent->pending.fetch_add(1);
    {
      std::lock_guard lock(parent->mutex);
      parent->away.insert(name);
    }
    removal_.crew.Push({&removal_, std::make_shared<Node>(parent, name),
                        std::make_shared<Directory>(std::move(child)), path_ + name + PathSeparator});
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

  // The walker no longer holds a node's directory: those who settle work
  // below it reach it through ".." and check it.
  static void LetGo(Node& node, const DirectoryId& id) {
    std::lock_guard lock(node.mutex);
    node.id = id;
    node.open.reset();
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
      if (const auto* node = NodeOf(levels_.size() - 1)) {
        std::lock_guard lock((*node)->mutex);
        (*node)->open = reopened;
      }
    }
    if (nodes_.size() > levels_.size()) {
      LeaveNode(done, std::move(doneDir));
      return;
    }
    // Windows removes a directory only once no handle on it is open.
    doneDir.reset();
    if (done.keep) {
      Keep(name);
    } else {
      Settle(name, RemoveDirectory(Current(), name));
    }
  }

  // The walker's part of a node is done: the last of its work settles it.
  void LeaveNode(const Level& done, std::shared_ptr<Directory> doneDir) {
    const std::shared_ptr<Node> node = std::move(nodes_.back());
    nodes_.pop_back();
    if (done.keep) node->keep = true;
    if (node->pending.load() > 1) {
      // Others still work below it and will reach it through "..".
      if (IdentifyDirectory(*doneDir).ok()) LetGo(*node, doneDir->id);
      if (node->parent && !levels_.empty()) {
        std::lock_guard lock(node->parent->mutex);
        node->parent->away.insert(node->name);
      }
    } else {
      std::lock_guard lock(node->mutex);
      node->open.reset();
    }
    if (node->pending.fetch_sub(1) == 1) SettleUpward(removal_, node, std::move(doneDir));
  }

  // A directory above the walk is no longer where it was, or cannot be
  // opened again: nothing more can be removed safely from here, so this
  // walk stops, and what it held stays.
  void Abandon(const Status& status) {
    removal_.Lose(status, path_.substr(0, path_.size() - 1));
    while (!nodes_.empty()) {
      const std::shared_ptr<Node> node = std::move(nodes_.back());
      nodes_.pop_back();
      node->keep = true;
      {
        std::lock_guard lock(node->mutex);
        node->open.reset();
      }
      if (node->pending.fetch_sub(1) == 1) SettleUpward(removal_, node, nullptr);
    }
    path_.resize(levels_.front().nameStart);
    levels_.clear();
    kept_.clear();
    keptKeys_.clear();
    for (std::shared_ptr<Directory>& dir : window_) dir.reset();
  }

  // An entry that vanished by itself counts as removed.
  void Settle(const std::string& name, const Status& status) {
    if (status.ok() || status.outcome == Outcome::Gone) return;
    removal_.Report(path_ + name, status);
    Keep(name);
  }

  void Keep(const std::string& name) {
    if (levels_.empty()) return;
    levels_.back().keep = true;
    kept_.push_back({levels_.size(), name});
    keptKeys_.insert({kept_.back().depth, kept_.back().name});
  }

  // Only a directory read again can list an entry that stays, or one that
  // another thread settles.
  bool IsKept(const std::string& name) {
    if (!levels_.back().reread) return false;
    if (keptKeys_.contains({levels_.size(), name})) return true;
    const auto* node = NodeOf(levels_.size() - 1);
    if (node == nullptr) return false;
    std::lock_guard lock((*node)->mutex);
    return (*node)->away.contains(name);
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

// Takes tasks until `done` is set, waiting for them meanwhile.
void TakeTasks(Shared& crew, const std::atomic<bool>& done) {
  std::unique_lock lock(crew.mutex);
  for (;;) {
    crew.idle.fetch_add(1);
    if (crew.tasks.empty() && !done) {
      lock.unlock();
      crew.AwaitTask(done);
      lock.lock();
    }
    crew.wake.wait(lock, [&] { return !crew.tasks.empty() || done; });
    if (crew.tasks.empty()) {
      // Nothing was promised to a thread that stops waiting: what is
      // pushed after this finds others.
      crew.idle.fetch_sub(1);
      return;
    }
    Task task = crew.Pop();
    lock.unlock();
    TreeWalk(*task.removal).WalkTask(task);
    lock.lock();
  }
}

void Help(Shared* crew) {
  PrepareThreadForFaults();
  TakeTasks(*crew, crew->stopping);
}

void StartHelpers(Shared& crew) {
  crew.started = true;
  for (std::size_t i = 0; i < crew.helpersWanted; ++i) {
    try {
      crew.helpers.emplace_back(Help, &crew);
    } catch (const std::system_error&) {
      return;  // the run goes on with the threads it has
    }
  }
}

std::size_t HelpersAllowed() {
  const std::size_t limit = OpenFileLimit();
  const std::size_t perThread = OpenDirectoryWindow + FilesBesideWindow;
  const std::size_t byFiles = limit > FilesBesideThreads ? (limit - FilesBesideThreads) / perThread : 0;
  const std::size_t threads = std::min({UsableProcessors(), MostThreads, std::max<std::size_t>(byFiles, 1)});
  return threads - 1;
}

}  // namespace

RemovalCrew::RemovalCrew() : shared_(std::make_unique<Shared>()) {
  shared_->helpersWanted = HelpersAllowed();
}

RemovalCrew::~RemovalCrew() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->wake.notify_all();
  for (std::thread& helper : shared_->helpers) helper.join();
}

bool RemoveTree(RemovalCrew& crew, Directory& parent, const std::string& parentPath, const std::string& name,
                std::uint8_t attributes) {
  Shared& shared = crew.shared();
  if (!shared.started && (attributes & AttrDirectory)) StartHelpers(shared);
  Removal removal(shared, parent, parentPath);
  // The archive stays open throughout, so a walk that lost its way can
  // start again from the entry's name: what was removed stays removed, and
  // a directory moved out of the tree is no longer part of it.
  for (int attempt = 1;; ++attempt) {
    removal.lost = {};
    removal.settled = false;
    if (TreeWalk(removal).WalkEntry(name, attributes)) TakeTasks(shared, removal.settled);
    if (removal.lost.ok()) return removal.clean;
    if (attempt == Attempts) {
      removal.Report(removal.lostPath, removal.lost);
      return false;
    }
  }
}

}  // namespace kelvane
