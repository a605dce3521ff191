#include "runtime/file_system.h"

#include <utility>

namespace kelvane {

constinit thread_local Status SearchStatus;

Directory::Directory() = default;
Directory::Directory(Directory&& other) noexcept
    : OsHandle(std::exchange(other.OsHandle, NoHandle)), id(other.id), listing(std::move(other.listing)) {}
Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    Close();
    OsHandle = std::exchange(other.OsHandle, NoHandle);
    id = other.id;
    listing = std::move(other.listing);
  }
  return *this;
}
Directory::~Directory() { Close(); }

void SearchFirst(Directory& dir, std::uint32_t mask, SearchEntry& entry) {
  entry.AttrMask = mask;
  SearchNext(dir, entry);
}

void SearchClose(Directory& dir) { SearchStatus = dir.Close(); }

bool PassesFilter(std::uint8_t attributes, std::uint32_t mask) {
  const auto required = static_cast<std::uint8_t>(mask >> 8);
  const auto excluded = static_cast<std::uint8_t>(0x3E & ~mask & ~required);
  return (attributes & excluded) == 0 && (attributes & required) == required;
}

}  // namespace kelvane
