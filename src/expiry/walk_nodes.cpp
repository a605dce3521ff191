#include "expiry/walk_nodes.h"

namespace kelvane {

const std::shared_ptr<Node>& WalkNodes::MakeFor(Trail& trail, std::size_t depth) {
  while (nodes_.size() <= depth) {
    const std::size_t d = nodes_.size();
    std::shared_ptr<Node> parent = d == 0 ? nullptr : nodes_[d - 1];
    if (parent) parent->pending.fetch_add(1);
    auto node = std::make_shared<Node>(std::move(parent), trail.NameAt(d));
    node->stays = trail.At(d).stays;
    node->id = trail.At(d).id;
    if (trail.InWindow(d)) node->open = trail.Slot(d);
    anyMade_ = true;
    nodes_.push_back(std::move(node));
  }
  return nodes_[depth];
}

bool WalkNodes::DirectoryDone(std::size_t depth, bool stays, std::shared_ptr<Directory> dir) {
  if (nodes_.size() <= depth) return false;
  std::shared_ptr<Node> node = std::move(nodes_.back());
  nodes_.pop_back();
  kelvane::DirectoryDone(ledger_, std::move(node), stays, std::move(dir));
  return true;
}

void WalkNodes::Abandon() {
  while (!nodes_.empty()) DirectoryDone(nodes_.size() - 1, true, nullptr);
}

}  // namespace kelvane
