#include "expiry/run_expiry.h"

#include <cstdint>

#include "expiry/archive_scan.h"
#include "expiry/day_number.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/file_system.h"

namespace kelvane {
namespace {

constexpr std::int32_t DefaultHistory = 40;

void WriteUsage() {
  // KELVANE_VERSION is major.minor of the project's version, set by the build.
  static constexpr std::string_view lines[] = {
      "Kelvane v" KELVANE_VERSION,
      "Usage: Kelvene Arcpath [history]",
      " Files/Directories in Arcpath older than \"history\" days will be erased",
      " Defualt for history is 40 days",
      " File and directory names should have the following form yyyymmdd*.*",
      " Written by the Kelvane developers",
  };
  for (const std::string_view line : lines) {
    WriteText(StandardOutput, line);
    WriteLineEnd(StandardOutput);
  }
}

void WriteInvalidPath(const std::string& arcpath) {
  WriteText(StandardOutput, "Path ");
  WriteText(StandardOutput, Printable(arcpath));
  WriteText(StandardOutput, " is not a valid path");
  WriteLineEnd(StandardOutput);
}

}  // namespace

bool PathExists(std::string path) {
  if (!path.empty() && path.back() == PathSeparator) path.pop_back();
  return !path.empty() && EntryExists(path);
}

int RunExpiry() {
  if (ArgumentCount() <= 0 || Argument(1) == "/?") {
    WriteUsage();
    return ExitSuccess;
  }
  std::int32_t history = ArgumentCount() > 1 ? LeadingInteger(Argument(2)) : 0;
  if (history < 1) history = DefaultHistory;

  std::string arcpath = Argument(1);
  if (arcpath.back() != PathSeparator) arcpath += PathSeparator;
  // A cut archive path could name another directory than the user's: it
  // is not a valid path, even where something of that name exists.
  if (ArgumentWasCut(1) || !PathExists(arcpath)) {
    WriteInvalidPath(arcpath);
    return ExitSuccess;
  }
  return ScanArchive(arcpath, history) ? ExitSuccess : ExitNotRemoved;
}

}  // namespace kelvane
