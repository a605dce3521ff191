#include "expiry/tree_removal.h"

#include "expiry/removal_rules.h"
#include "expiry/tree_walk.h"

namespace kelvane {

bool RemoveTree(RemovalCrew& crew, Directory& parent, const std::string& parentPath, const std::string& name,
                std::uint8_t attributes) {
  if (attributes & AttrDirectory) crew.Start();
  Ledger ledger(crew, parent, parentPath, name);
  // The archive stays open throughout, so a walk that lost its way can
  // start again from the entry's name: what was removed stays removed, and
  // a directory moved out of the tree is no longer part of it.
  do {
    if (WalkEntry(ledger, name, attributes)) crew.RunJobs(ledger.Done());
  } while (ledger.StartsOver());
  return ledger.Clean();
}

}  // namespace kelvane
