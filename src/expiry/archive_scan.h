// The walk over the archive that reports and removes expired entries.
#pragma once

#include <string>

#include "expiry/run_options.h"

namespace kelvane {

// Reports and removes every entry directly inside `arcpath` (which ends in
// a separator) whose name is dated more than `options.history` days before
// today, in ascending byte order of the names. The archive is read whole
// first, so that the newest `options.keep` dated entries can be spared,
// and a dry run reports without removing. Returns true when every expired
// entry that was to go was removed.
bool ScanArchive(const std::string& arcpath, const RunOptions& options);

}  // namespace kelvane
