// The threads that share the removal of a tree. A walker offers the
// subdirectories it meets to the others while they have too few; the
// directories above an offered one can go only once it has gone, so each of
// them gets a Node that counts the work still under way below it, and
// whichever thread ends the last of that work removes the directory and
// goes on up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "runtime/file_system.h"

namespace kelvane {

struct Removal;

// A directory whose removal waits for work below it on other threads.
struct Node {
  Node(std::shared_ptr<Node> above, std::string entryName)
      : parent(std::move(above)), name(std::move(entryName)) {}

  const std::shared_ptr<Node> parent;  // null for the expired entry, which lies in the archive
  const std::string name;              // its name in its parent
  std::atomic<int> pending = 1;        // its walker's listing, and each child offered and not yet done
  std::atomic<bool> keep = false;      // something below stays, so this stays too

  std::mutex mutex;  // guards what follows
  DirectoryId id;    // known once its walker let go of it: checked when it is reached through ".."
  std::weak_ptr<Directory> open;         // its walker's open directory, while the walker holds it
  std::unordered_set<std::string> away;  // children done elsewhere, passed over on a second read
};

// A subdirectory offered to another thread, by its name in its open parent.
struct Task {
  Removal* removal = nullptr;
  std::shared_ptr<Node> parent;
  std::shared_ptr<Directory> parentDir;
  std::string parentPath;  // ending in a separator
  std::string name;
};

// The threads that help the calling thread remove trees: one fewer than
// the processors the process may use, as far as its open-file limit
// allows. They start with the first tree to remove and stop when this is
// destroyed. Waiting threads sleep.
class RemovalCrew {
 public:
  RemovalCrew();
  ~RemovalCrew();
  RemovalCrew(const RemovalCrew&) = delete;
  RemovalCrew& operator=(const RemovalCrew&) = delete;

  // Starts the helpers, once.
  void Start();
  // True while the helpers have fewer subdirectories offered than they
  // can take at once.
  bool WantsWork() const;
  // Hands a subdirectory to the next thread that looks for work. The
  // parent node counts it among its work already.
  void Offer(Task task);
  // Walks offered subdirectories until `done` is set, sleeping meanwhile.
  void RunTasks(const std::atomic<bool>& done);
  // Sets `done` and wakes those waiting for it in RunTasks; the flag may
  // be destroyed as soon as it is set.
  void MarkDone(std::atomic<bool>& done);

 private:
  void Help();

  std::size_t helpersWanted_ = 0;
  bool started_ = false;
  std::vector<std::thread> helpers_;

  std::mutex mutex_;              // guards what follows
  std::condition_variable wake_;  // a task came, an entry was done, or the crew stops
  std::deque<Task> tasks_;
  std::atomic<bool> stopping_ = false;  // set under the lock, read with or without it

  std::atomic<std::size_t> queued_ = 0;  // tasks_.size(), to be read without the lock
};

// The walker holds a node's directory open, and others remove the node's
// children in it.
void Hold(Node& node, const std::shared_ptr<Directory>& dir);
// The walker closed a node's directory: whoever removes a child of the
// node reaches it through ".." and checks it against `id`.
void LetGo(Node& node, const DirectoryId& id);
// True when the child `name` of a node is walked or was done elsewhere, so
// that a second read of the node's directory passes it.
bool IsAway(Node& node, const std::string& name);
// The walker has read a node's directory to its end; `dir` is that
// directory, open, or null where the walk lost its way. The directory goes
// once all work below it has ended, on whichever thread ends it.
void DirectoryDone(Removal& removal, std::shared_ptr<Node> node, bool keep, std::shared_ptr<Directory> dir);
// An offered subdirectory that could not be walked: it was gone, or stays.
void OfferedDone(Task& task, bool stays);

}  // namespace kelvane
