// Faults a real file system will not produce on demand, injected through
// the seam one call at a time, over every call of each operation a whole
// archive run makes: whichever call fails, the run names that one path,
// removes everything else it should, and reports that it did not finish.
#include "runtime/fault_injection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>

#include "expiry/archive_scan.h"
#include "runtime/console.h"
#include "runtime/file_system.h"
#include "support/support.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using testing::MakeDirectory;
using testing::TempDir;
using testing::WriteFile;

int Discard(const char*, std::size_t) { return 0; }

struct RunResult {
  bool clean = false;
  std::string err;
};

// Each sweep runs on one thread and on as many as the processors allow.
class InjectedFaultTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // The sweeps count the POSIX backend's calls and use its error codes;
    // the Win32 backend's failure paths have a seam of their own.
    if (!testing::HavePosix()) GTEST_SKIP() << "the seam is wired into the POSIX backend";
    StandardOutput.transfer = Discard;
    IoResult = 0;
    testing::UseOneProcessor(GetParam());
  }
  void TearDown() override {
    testing::UseOneProcessor(false);
    for (int point = 0; point < static_cast<int>(FaultPoint::Count); ++point)
      InjectFault(static_cast<FaultPoint>(point), 0, 0);
  }

  // An expired tree deeper than the window of open ancestors, an expired
  // file, and entries that stay.
  void Build() {
    fs::remove_all(archive);
    MakeDirectory(archive);
    for (const std::string& dir :
         std::vector<std::string>{"20010101", "20010101/a", "20010101/b", "20010101/b/c", "20010101/b/c/d",
                                  "20010101/b/c/d/e", "20010101/b/c/d/e/f", young, young + "/keep"})
      MakeDirectory(archive + "/" + dir);
    for (const std::string& file :
         std::vector<std::string>{"20010101/a/x", "20010101/a/y", "20010101/b/c/d/e/f/leaf", "20010101/file",
                                  "20010102.zip", "notes.txt", young + "/keep/file"})
      WriteFile(archive + "/" + file, file);
  }

  RunResult RunWithFault(FaultPoint point, int nth, int error) {
    InjectFault(point, nth, error);
    ::testing::internal::CaptureStderr();
    RunResult run;
    run.clean = ScanArchive(archive + "/", 30);
    run.err = ::testing::internal::GetCapturedStderr();
    InjectFault(point, 0, 0);
    return run;
  }

  // Every path below the archive, relative to it.
  std::set<std::string> Left() const {
    std::set<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(archive))
      left.insert(entry.path().lexically_relative(archive).generic_string());
    return left;
  }

  std::set<std::string> Staying() const {
    return {"notes.txt", young, young + "/keep", young + "/keep/file"};
  }

  // What one failure may leave: the path it names and the directories
  // above it; below it only what an unread or unopened directory holds.
  void ExpectOnlyThePathStays(const RunResult& run, int error, bool below, const std::string& context) {
    SCOPED_TRACE(context);
    EXPECT_EQ(testing::ReadFile(archive + "/notes.txt"), "notes.txt");
    EXPECT_EQ(testing::ReadFile(archive + "/" + young + "/keep/file"), young + "/keep/file");
    if (run.clean) {
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(Left(), Staying());
      return;
    }
    const std::string reason = ": " + ErrorText({Outcome::Failed, error}) + "\n";
    const std::string unreadable = "kelvane: cannot read " + archive + "/" + reason;
    if (run.err == unreadable) return;  // the archive itself could not be read
    const std::string prefix = "kelvane: cannot remove " + archive + "/";
    ASSERT_EQ(run.err.rfind(prefix, 0), 0u) << run.err;
    ASSERT_GT(run.err.size(), prefix.size() + reason.size()) << run.err;
    ASSERT_EQ(run.err.substr(run.err.size() - reason.size()), reason) << run.err;
    const std::string path = run.err.substr(prefix.size(), run.err.size() - prefix.size() - reason.size());
    EXPECT_TRUE(testing::Exists(archive + "/" + path)) << path;
    for (const std::string& left : Left()) {
      const bool allowed = Staying().contains(left) || left == path || path.starts_with(left + "/") ||
                           (below && left.starts_with(path + "/"));
      EXPECT_TRUE(allowed) << left << " stayed; the run named " << path;
    }
  }

  TempDir tmp;
  const std::string archive = tmp / "archive";
  const std::string young = testing::DateDaysAgo(0);
};

// Each call of an operation in turn is made to fail: a refused removal
// stops only that entry; a directory that cannot be opened or read stays
// with what it holds. A parent that cannot be opened again on the way up is
// reached anew from the archive, so only the first openings of the archive
// and of its seven directories leave something behind.
TEST_P(InjectedFaultTest, EachCallOfEachOperationFailingStopsOnlyItsPath) {
  const struct {
    FaultPoint point;
    std::vector<int> errors;
    int calls, fired;
    bool below;
  } sweeps[] = {
      {FaultPoint::RemoveEntry, {EBUSY, EPERM, EROFS, EIO}, 16, 12, false},
      {FaultPoint::OpenDirectory, {EMFILE}, 14, 8, true},
      {FaultPoint::ReadDirectory, {EIO}, 40, -1, true},
  };
  for (const auto& sweep : sweeps) {
    int fired = 0;
    for (int nth = 1; nth <= sweep.calls; ++nth) {
      const int error = sweep.errors[nth % sweep.errors.size()];
      Build();
      const RunResult run = RunWithFault(sweep.point, nth, error);
      fired += run.clean ? 0 : 1;
      ExpectOnlyThePathStays(run, error, sweep.below, "call " + std::to_string(nth));
    }
    EXPECT_TRUE(sweep.fired < 0 || fired == sweep.fired) << fired << " of " << static_cast<int>(sweep.point);
  }
}

// An unreadable directory whose mode cannot be opened up (without /proc, in
// a chroot, say) stays and is named: it did not vanish.
TEST_P(InjectedFaultTest, ADirectoryThatCannotBeOpenedUpStaysAndSaysWhy) {
  Build();
  InjectFault(FaultPoint::ChangeMode, 1, ENOENT, INT_MAX);
  // Openings: the archive, then 20010101.
  const RunResult run = RunWithFault(FaultPoint::OpenDirectory, 2, EACCES);
  EXPECT_EQ(run.err, "kelvane: cannot remove " + archive + "/20010101: " + std::strerror(EACCES) + "\n");
  ExpectOnlyThePathStays(run, EACCES, true, "mode unchanged");
}

// A directory read in several batches whose second read fails: what the
// first batch brought is removed, the rest stays.
TEST_P(InjectedFaultTest, AReadFailingHalfWayKeepsTheRestOfThatDirectory) {
  Build();
  const std::string big = archive + "/20010101/b/c/d/e/f";
  const int files = 3000;
  for (int i = 0; i < files; ++i) WriteFile(big + "/file-with-a-long-name-" + std::to_string(i));
  // Reads: the archive, 20010101, b, c, d, e, then f's first batch.
  const RunResult run = RunWithFault(FaultPoint::ReadDirectory, 8, EIO);
  ExpectOnlyThePathStays(run, EIO, true, "second batch");
  EXPECT_EQ(run.err, "kelvane: cannot remove " + big + ": " + ErrorText({Outcome::Failed, EIO}) + "\n");
  const std::size_t left = testing::Names(big).size();
  EXPECT_GT(left, 0u);
  EXPECT_LT(left, static_cast<std::size_t>(files));
}

INSTANTIATE_TEST_SUITE_P(Threads, InjectedFaultTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "One" : "Several"; });

}  // namespace
}  // namespace kelvane
