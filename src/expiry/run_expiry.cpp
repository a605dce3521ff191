#include "expiry/run_expiry.h"

#include "expiry/archive_scan.h"
#include "expiry/run_options.h"
#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/file_system.h"

namespace kelvane {
namespace {

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

// The classic line goes to standard output, where scripts read it; the
// second to standard error, where a run that did nothing because the
// archive was missing (a share not mounted, say) is seen.
void WriteInvalidPath(const std::string& arcpath, bool cut) {
  WriteText(StandardOutput, "Path ");
  WriteText(StandardOutput, Printable(arcpath));
  WriteText(StandardOutput, " is not a valid path");
  WriteLineEnd(StandardOutput);
  WriteErrorLine((cut ? "kelvane: archive path too long: " : "kelvane: cannot find archive ") +
                 Printable(arcpath));
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
  RunOptions options;
  if (const std::string refusal = ReadRunOptions(options); !refusal.empty()) {
    WriteErrorLine(refusal);
    return ExitRefused;
  }

  std::string arcpath = Argument(1);
  if (arcpath.back() != PathSeparator) arcpath += PathSeparator;
  // A cut archive path could name another directory than the user's: it
  // is not a valid path, even where something of that name exists.
  if (ArgumentWasCut(1) || !PathExists(arcpath)) {
    WriteInvalidPath(arcpath, ArgumentWasCut(1));
    return ExitSuccess;
  }
  return ScanArchive(arcpath, options) ? ExitSuccess : ExitNotRemoved;
}

}  // namespace kelvane
