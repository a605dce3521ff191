#include "expiry/node_tree.h"

#include <vector>

namespace kelvane {
namespace {

std::string PathOf(const Ledger& ledger, const Node& node) {
  std::vector<const Node*> chain;
  for (const Node* n = &node; n != nullptr; n = n->parent.get()) chain.push_back(n);
  std::string path = ledger.ArchivePath();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (it != chain.rbegin()) path += PathSeparator;
    path += (*it)->name;
  }
  return path;
}

// The directory of a node's parent, for the removal of the node's own: its
// walker's while the walker holds it, else reached through ".." from the
// node's directory and checked; the archive for the expired entry.
std::shared_ptr<Directory> ReachParent(Ledger& ledger, const Node& node, Directory* dir) {
  if (!node.parent) return ledger.Archive();
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
    ledger.Lose(status, PathOf(ledger, node));
    return nullptr;
  }
  return reached;
}

// A child of the node ended, gone or staying. True when that was the last
// work below the node.
bool ChildDone(Node& node, const std::string& name, bool stays) {
  {
    std::lock_guard lock(node.mutex);
    if (stays)
      node.away.insert(name);
    else
      node.away.erase(name);
  }
  if (stays) node.stays = true;
  return node.pending.fetch_sub(1) == 1;
}

void RemoveUpward(Ledger& ledger, std::shared_ptr<Node> node, std::shared_ptr<Directory> dir) {
  for (;;) {
    const std::shared_ptr<Node> parent = node->parent;
    std::shared_ptr<Directory> parentDir;
    bool stays = node->stays;
    if (!stays) {
      parentDir = ReachParent(ledger, *node, dir.get());
      stays = parentDir == nullptr;
    }
    // Windows removes a directory only once no handle on it is open.
    dir.reset();
    if (!stays)
      stays = ledger.Stays(RemoveDirectory(*parentDir, node->name), [&] { return PathOf(ledger, *node); });
    if (!parent) {
      ledger.MarkDone();
      return;
    }
    if (!ChildDone(*parent, node->name, stays)) return;
    node = parent;
    dir = std::move(parentDir);
  }
}

}  // namespace

void Hold(Node& node, const std::shared_ptr<Directory>& dir) {
  std::lock_guard lock(node.mutex);
  node.open = dir;
}

void LetGo(Node& node, const DirectoryId& id) {
  std::lock_guard lock(node.mutex);
  node.id = id;
  node.open.reset();
}

void SendAway(Node& node, const std::string& name) {
  std::lock_guard lock(node.mutex);
  node.away.insert(name);
}

bool IsAway(Node& node, const std::string& name) {
  std::lock_guard lock(node.mutex);
  return node.away.contains(name);
}

void DirectoryDone(Ledger& ledger, std::shared_ptr<Node> node, bool stays, std::shared_ptr<Directory> dir) {
  if (stays) node->stays = true;
  if (dir && node->pending.load() > 1) {
    // Others still work below it and will reach it through "..".
    if (IdentifyDirectory(*dir).ok()) LetGo(*node, dir->id);
    if (node->parent) SendAway(*node->parent, node->name);
  } else {
    std::lock_guard lock(node->mutex);
    node->open.reset();
  }
  if (node->pending.fetch_sub(1) == 1) RemoveUpward(ledger, std::move(node), std::move(dir));
}

void OfferedDone(Offer& offer, bool stays) {
  if (ChildDone(*offer.parent, offer.name, stays))
    RemoveUpward(*offer.ledger, std::move(offer.parent), std::move(offer.parentDir));
}

}  // namespace kelvane
