// The directories whose removal waits for work on other threads. A walker
// that offers a subdirectory to the crew gives the directory it lies in,
// and each directory above it up to the top of the walk, a Node that counts
// the work still under way below it; whichever thread ends the last of
// that work removes the directory and goes on up.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "expiry/removal_rules.h"
#include "runtime/file_system.h"

namespace kelvane {

// A directory whose removal waits for work below it on other threads.
struct Node {
  Node(std::shared_ptr<Node> above, std::string entryName)
      : parent(std::move(above)), name(std::move(entryName)) {}

  const std::shared_ptr<Node> parent;  // null for the expired entry, which lies in the archive
  const std::string name;              // its name in its parent
  std::atomic<int> pending = 1;        // its walker's listing, and each child offered and not yet done
  std::atomic<bool> stays = false;     // something below stays, so this stays too

  std::mutex mutex;  // guards what follows
  DirectoryId id;    // known once its walker let go of it: checked when it is reached through ".."
  std::weak_ptr<Directory> open;         // its walker's open directory, while the walker holds it
  std::unordered_set<std::string> away;  // children done elsewhere, passed over on a second read
};

// A subdirectory offered to another thread, by its name in its open parent.
struct Offer {
  Ledger* ledger = nullptr;
  std::shared_ptr<Node> parent;
  std::shared_ptr<Directory> parentDir;
  std::string parentPath;  // ending in a separator
  std::string name;
};

// The walker holds a node's directory open, and others remove the node's
// children in it.
void Hold(Node& node, const std::shared_ptr<Directory>& dir);
// The walker closed a node's directory: whoever removes a child of the
// node reaches it through ".." and checks it against `id`.
void LetGo(Node& node, const DirectoryId& id);
// A child of the node is walked elsewhere: a second read of the node's
// directory passes it.
void SendAway(Node& node, const std::string& name);
// True when the child `name` of a node is walked or was done elsewhere.
bool IsAway(Node& node, const std::string& name);
// The walker has read a node's directory to its end; `dir` is that
// directory, open, or null where the walk lost its way. The directory goes
// once all work below it has ended, on whichever thread ends it.
void DirectoryDone(Ledger& ledger, std::shared_ptr<Node> node, bool stays, std::shared_ptr<Directory> dir);
// An offered subdirectory that could not be walked: it was gone, or stays.
void OfferedDone(Offer& offer, bool stays);

}  // namespace kelvane
