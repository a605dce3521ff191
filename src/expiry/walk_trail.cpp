#include "expiry/walk_trail.h"

namespace kelvane {

std::string Trail::NameAt(std::size_t depth) const {
  const std::size_t start = levels_[depth].nameStart;
  const std::size_t end = depth + 1 < levels_.size() ? levels_[depth + 1].nameStart : path_.size();
  return path_.substr(start, end - start - 1);
}

// A slot is made when the walk first goes that deep.
std::shared_ptr<Directory>& Trail::Slot(std::size_t depth) {
  const std::size_t slot = depth % OpenDirectoryWindow;
  if (slot >= window_.size()) window_.resize(slot + 1);
  return window_[slot];
}

void Trail::Push(const std::string& name) {
  levels_.push_back(Level{{}, path_.size()});
  path_ += name;
  path_ += PathSeparator;
}

std::string Trail::Pop(Level& left) {
  left = levels_.back();
  levels_.pop_back();
  std::string name = path_.substr(left.nameStart, path_.size() - left.nameStart - 1);
  path_.resize(left.nameStart);
  return name;
}

void Trail::Clear() {
  if (!levels_.empty()) path_.resize(levels_.front().nameStart);
  levels_.clear();
  for (std::shared_ptr<Directory>& dir : window_) dir.reset();
}

}  // namespace kelvane
