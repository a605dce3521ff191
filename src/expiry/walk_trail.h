// The way from the top of one walk down to the directory it reads: a small
// record per level, the path, and a window of the innermost directories
// held open.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "runtime/file_system.h"

namespace kelvane {

// One directory on the way down from the top of a walk. A chain of a
// hundred thousand directories holds as many of these, so it stays small;
// the open directories themselves live in the window.
struct Level {
  DirectoryId id;          // read when it leaves the window, checked when opened again
  std::size_t nameStart;   // this directory's name starts here in the path
  bool searching = false;  // SearchFrom has run on its open directory
  bool resumed = false;    // the search went on from a position, so it may have passed entries
  bool reread = false;     // opened again, so it may list entries that stay
  bool stays = false;      // something below stays, so this stays too
  bool metSubdir = false;  // a subdirectory of it was met before
  // A search opened again goes on here and misses no entry not yet read.
  SearchPosition position = SearchStart;
};

class Trail {
 public:
  // Starts at the directory whose path is `path`, ending in a separator.
  void Start(std::string path) { path_ = std::move(path); }
  bool Empty() const { return levels_.empty(); }
  std::size_t Depth() const { return levels_.size(); }
  Level& At(std::size_t depth) { return levels_[depth]; }
  Level& Innermost() { return levels_.back(); }
  // The path of the innermost directory, ending in a separator.
  const std::string& Path() const { return path_; }
  // The path of the innermost directory, without the separator.
  std::string InnermostPath() const { return path_.substr(0, path_.size() - 1); }
  // The name of the directory at `depth` in its parent.
  std::string NameAt(std::size_t depth) const;

  // Level k holds its directory in slot k % OpenDirectoryWindow: entering
  // a level closes the ancestor that held the slot before it.
  std::shared_ptr<Directory>& Slot(std::size_t depth);
  // True when the directory at `depth` is in the window.
  bool InWindow(std::size_t depth) const { return levels_.size() - depth <= OpenDirectoryWindow; }

  // Goes down into `name`, whose directory the caller puts in its slot.
  void Push(const std::string& name);
  // Goes back up a level; returns the name of the directory left.
  std::string Pop(Level& left);
  // Goes back up to where the trail started, closing every directory.
  void Clear();

 private:
  std::string path_;
  std::deque<Level> levels_;
  std::vector<std::shared_ptr<Directory>> window_;
};

}  // namespace kelvane
