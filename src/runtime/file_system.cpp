#include "runtime/file_system.h"

namespace kelvane {

constinit thread_local Status SearchStatus;

bool PassesFilter(std::uint8_t attributes, std::uint32_t mask) {
  const auto required = static_cast<std::uint8_t>(mask >> 8);
  const auto excluded = static_cast<std::uint8_t>(0x3E & ~mask & ~required);
  return (attributes & excluded) == 0 && (attributes & required) == required;
}

}  // namespace kelvane
