// End-to-end cases as rows: the tree to build, the arguments, what the run
// writes, its exit code and what stays. The common rows and the runner are
// in kelvane_test.cpp; Windows adds rows of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvane::testing {

using Held = std::shared_ptr<void>;  // what a case holds during the run, let go of after it

// Lists are separated by '|'. In the tree, the arguments and the entries
// left, "@N" is the date N days ago; a name ending in '/' is a directory,
// "NAME->TARGET" a symbolic link.
// An output line "NAME AGE" is the report line of NAME (a directory when
// it ends in '/'), AGE "T" the age of the year-200 names, today's day
// number; any other line is as written. "%A"
// stands for the archive, "%L" for the longest archive path the tool keeps.
struct Case {
  const char* what;
  std::string tree, args, out, err;
  int exitCode;
  std::string left;
  // Words for how to run: "closed" or "full" standard output, "nobody"
  // (root runs it as another user), "files16" (ulimit -n 16), "fsize" (files of 20 bytes at most),
  // "slowchmod" (fchmod slowed down), "here" (in this process, for a seam), "raw" (args is the Windows
  // command line), "posix" or "wine" (only there). On POSIX each row runs on one processor and on all, which
  // must end alike.
  std::string how = "";
  std::function<Held(const std::string& archive)> prepare = nullptr;
};

void RunCases(const std::vector<Case>& cases);

}  // namespace kelvane::testing
