#include "expiry/removal_crew.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "expiry/tree_removal.h"
#include "expiry/tree_walk.h"
#include "runtime/process.h"

namespace kelvane {
namespace {

// More threads than this gain nothing: removals within one directory wait
// for each other in the file system.
constexpr std::size_t MostThreads = 8;

// Subdirectories offered and not yet taken, for each helper: one to take
// as soon as it is done, one more while the walker is deep in another.
constexpr std::size_t OffersPerHelper = 2;

// Open files one thread may hold beside its window of open directories: a
// subdirectory being opened, the parents of subdirectories it offered (as
// many as a helper may have waiting, and one more where threads offer at
// the same moment), and one the system opens to tell a mount point.
constexpr std::size_t FilesBesideWindow = 1 + OffersPerHelper + 1 + 1;

// Open files the run holds beside its threads: the standard three, the
// archive, and a spare pair.
constexpr std::size_t FilesBesideThreads = 6;

std::size_t HelpersAllowed() {
  const std::size_t limit = OpenFileLimit();
  const std::size_t perThread = OpenDirectoryWindow + FilesBesideWindow;
  const std::size_t byFiles = limit > FilesBesideThreads ? (limit - FilesBesideThreads) / perThread : 0;
  const std::size_t threads = std::min({UsableProcessors(), MostThreads, std::max<std::size_t>(byFiles, 1)});
  return threads - 1;
}

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
std::shared_ptr<Directory> ReachParent(Removal& removal, const Node& node, Directory* dir) {
  if (!node.parent) return removal.Archive();
  Node& parent = *node.parent;
  DirectoryId id;
  {
    std::lock_guard lock(parent.mutex);
    if (std::shared_ptr<Directory> open = parent.open.lock()) return open;
    id = parent.id;
  }
  auto reached = std::make_shared<Directory>();
  const Status status = dir ? OpenParent(*dir, id, *reached) : Status{Outcome::Moved, 0};
  if (!status.ok()) {
    removal.Lose(status, PathOf(removal, node));
    return nullptr;
  }
  return reached;
}

bool ChildDone(Node& node, const std::string& name, bool stays) {
  {
    std::lock_guard lock(node.mutex);
    if (stays)
      node.away.insert(name);
    else
      node.away.erase(name);
  }
  if (stays) node.keep = true;
  return node.pending.fetch_sub(1) == 1;
}

void RemoveUpward(Removal& removal, std::shared_ptr<Node> node, std::shared_ptr<Directory> dir) {
  for (;;) {
    const std::shared_ptr<Node> parent = node->parent;
    std::shared_ptr<Directory> parentDir;
    bool stays = node->keep;
    if (!stays) {
      parentDir = ReachParent(removal, *node, dir.get());
      stays = parentDir == nullptr;
    }
    // Windows removes a directory only once no handle on it is open.
    dir.reset();
    if (!stays) {
      const Status removed = RemoveDirectory(*parentDir, node->name);
      if (!Removed(removed)) {
        removal.Report(PathOf(removal, *node), removed);
        stays = true;
      }
    }
    if (!parent) {
      removal.crew.MarkDone(removal.done);
      return;
    }
    if (!ChildDone(*parent, node->name, stays)) return;
    node = parent;
    dir = std::move(parentDir);
  }
}

}  // namespace

RemovalCrew::RemovalCrew() : helpersWanted_(HelpersAllowed()) {}

RemovalCrew::~RemovalCrew() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void RemovalCrew::Start() {
  if (std::exchange(started_, true)) return;
  for (std::size_t i = 0; i < helpersWanted_; ++i) {
    try {
      helpers_.emplace_back(&RemovalCrew::Help, this);
    } catch (const std::system_error&) {
      return;  // the run goes on with the threads it has
    }
  }
}

bool RemovalCrew::WantsWork() const {
  return queued_.load(std::memory_order_relaxed) < helpers_.size() * OffersPerHelper;
}

void RemovalCrew::Offer(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    queued_ = tasks_.size();
  }
  wake_.notify_one();
}

void RemovalCrew::RunTasks(const std::atomic<bool>& done) {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return !tasks_.empty() || done; });
    if (tasks_.empty()) return;
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    queued_ = tasks_.size();
    lock.unlock();
    WalkOffered(task);
    lock.lock();
  }
}

void RemovalCrew::MarkDone(std::atomic<bool>& done) {
  // Notified under the lock: the flag's owner may go once it is released.
  std::lock_guard lock(mutex_);
  done = true;
  wake_.notify_all();
}

void RemovalCrew::Help() {
  PrepareThread();
  RunTasks(stopping_);
}

void Hold(Node& node, const std::shared_ptr<Directory>& dir) {
  std::lock_guard lock(node.mutex);
  node.open = dir;
}

void LetGo(Node& node, const DirectoryId& id) {
  std::lock_guard lock(node.mutex);
  node.id = id;
  node.open.reset();
}

bool IsAway(Node& node, const std::string& name) {
  std::lock_guard lock(node.mutex);
  return node.away.contains(name);
}

void DirectoryDone(Removal& removal, std::shared_ptr<Node> node, bool keep, std::shared_ptr<Directory> dir) {
  if (keep) node->keep = true;
  if (dir && node->pending.load() > 1) {
    // Others still work below it and will reach it through "..".
    if (IdentifyDirectory(*dir).ok()) LetGo(*node, dir->id);
    if (node->parent) {
      std::lock_guard lock(node->parent->mutex);
      node->parent->away.insert(node->name);
    }
  } else {
    std::lock_guard lock(node->mutex);
    node->open.reset();
  }
  if (node->pending.fetch_sub(1) == 1) RemoveUpward(removal, std::move(node), std::move(dir));
}

void OfferedDone(Task& task, bool stays) {
  if (ChildDone(*task.parent, task.name, stays))
    RemoveUpward(*task.removal, std::move(task.parent), std::move(task.parentDir));
}

}  // namespace kelvane
