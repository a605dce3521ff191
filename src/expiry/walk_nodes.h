// The nodes of one walk's levels. A level gets one once work below it goes
// to another thread: from then on its directory is removed by whichever
// thread ends the last work below it, and the walker only gives up its
// part when it has read the directory to its end.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "expiry/node_tree.h"
#include "expiry/removal_rules.h"
#include "expiry/walk_trail.h"

namespace kelvane {

class WalkNodes {
 public:
  explicit WalkNodes(Ledger& ledger) : ledger_(ledger) {}

  // True once any level got a node; for the walk of an expired entry the
  // first is the entry's own.
  bool AnyMade() const { return anyMade_; }
  // The node of level `depth`, or null where it has none.
  Node* At(std::size_t depth) const { return depth < nodes_.size() ? nodes_[depth].get() : nullptr; }
  // The node of level `depth`, made with those of the levels above it
  // where they have none yet.
  const std::shared_ptr<Node>& MakeFor(Trail& trail, std::size_t depth);
  // The walk of an offered subdirectory starts with its node.
  void Adopt(std::shared_ptr<Node> node) { nodes_.push_back(std::move(node)); }

  // The directory of level `depth` was read to its end. True where it has
  // a node, which then takes the directory over.
  bool DirectoryDone(std::size_t depth, bool stays, std::shared_ptr<Directory> dir);
  // The walk lost its way: every node it holds stays, and its part of
  // their work ends.
  void Abandon();

 private:
  Ledger& ledger_;
  std::vector<std::shared_ptr<Node>> nodes_;  // of the levels from the top down, where they have one
  bool anyMade_ = false;
};

}  // namespace kelvane
