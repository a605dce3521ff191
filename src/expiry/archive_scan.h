// The walk over the archive that reports and removes expired entries.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

// Reports and removes every entry directly inside `arcpath` (which ends in
// a separator) whose name is dated more than `history` days before today.
// Returns true when every expired entry was removed.
bool ScanArchive(const std::string& arcpath, std::int32_t history);

}  // namespace kelvane
