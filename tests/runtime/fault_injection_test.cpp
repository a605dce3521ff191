// Faults a real file system will not produce on demand, injected through
// the seam one call at a time, over every call of each operation a whole
// archive run makes: whichever call fails, the run names that one path,
// removes everything else it should, and reports that it did not finish.
#include "runtime/fault_injection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>

#include "expiry/archive_scan.h"
#include "runtime/console.h"
#include "runtime/file_system.h"
#include "support/support.h"

namespace kelvane {
namespace {

using namespace testing;

// Each test runs on one thread and on as many as the processors allow.
class InjectedFaultTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // The seam is wired into the POSIX backend and counts its calls; the
    // Win32 backend's failure paths have a seam of their own.
    if (!HavePosix()) GTEST_SKIP() << "the seam is wired into the POSIX backend";
    StandardOutput.transfer = [](const char*, std::size_t) { return 0; };
    UseOneProcessor(GetParam());
  }
  void TearDown() override {
    UseOneProcessor(false);
    for (int point = 0; point < static_cast<int>(FaultPoint::Count); ++point)
      InjectFault(static_cast<FaultPoint>(point), 0, 0);
  }

  // An expired tree deeper than the window of open ancestors, an expired
  // file, and entries that stay.
  void BuildArchive() {
    std::filesystem::remove_all(archive);
    MakeDirectory(archive);
    Build(archive, {"20010101/", "20010101/a/", "20010101/a/x", "20010101/a/y", "20010101/b/",
                    "20010101/b/c/", "20010101/b/c/d/", "20010101/b/c/d/e/", "20010101/b/c/d/e/f/",
                    "20010101/b/c/d/e/f/leaf", "20010101/file", "20010102.zip", "notes.txt", young + "/",
                    young + "/keep/", young + "/keep/file"});
  }

  // Runs with the nth call of `point` failing and checks what one failure
  // may leave: the path it names and the directories above it; below it
  // only what an unread or unopened directory holds. Gives the error text.
  std::string RunWithFault(FaultPoint point, int nth, int error, bool below) {
    InjectFault(point, nth, error);
    ::testing::internal::CaptureStderr();
    const bool clean = ScanArchive(archive + "/", 30);
    const std::string err = ::testing::internal::GetCapturedStderr();
    InjectFault(point, 0, 0);
    const std::vector<std::string> staying = {young + "/", young + "/keep/", young + "/keep/file",
                                              "notes.txt"};
    const std::string reason = ": " + ErrorText({Outcome::Failed, error}) + "\n";
    const std::string prefix = "kelvane: cannot remove " + archive + "/";
    // An archive that could not be read keeps everything.
    const bool unread = err == "kelvane: cannot read " + archive + "/" + reason;
    const bool named =
        err.starts_with(prefix) && err.ends_with(reason) && err.size() > prefix.size() + reason.size();
    EXPECT_TRUE(clean ? err.empty() : unread || named) << err;
    const std::string path =
        named ? err.substr(prefix.size(), err.size() - prefix.size() - reason.size()) : "";
    EXPECT_TRUE(!named || Exists(archive + "/" + path)) << path;
    EXPECT_TRUE(std::ranges::includes(Tree(archive), staying));
    for (std::string left : Tree(archive)) {
      const bool kept = unread || std::ranges::count(staying, left) != 0;
      if (left.ends_with('/')) left.pop_back();
      EXPECT_TRUE(kept || (named &&
                           ((path + "/").starts_with(left + "/") || (below && left.starts_with(path + "/")))))
          << left << " stayed; the run named " << path;
    }
    return err;
  }

  TempDir tmp;
  const std::string archive = tmp / "archive", young = DateDaysAgo(0);
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
      {FaultPoint::OpenDirectory, {EMFILE, EACCES}, 14, 8, true},
      {FaultPoint::ReadDirectory, {EIO}, 40, -1, true},
  };
  for (const auto& sweep : sweeps) {
    // While directories fail to open, no mode can be opened up either
    // (without /proc, in a chroot, say): an unreadable directory stays and
    // is named, it did not vanish.
    InjectFault(FaultPoint::ChangeMode, sweep.point == FaultPoint::OpenDirectory ? 1 : 0, ENOENT, INT_MAX);
    int fired = 0;
    for (int nth = 1; nth <= sweep.calls; ++nth) {
      SCOPED_TRACE("point " + std::to_string(static_cast<int>(sweep.point)) + ", call " +
                   std::to_string(nth));
      BuildArchive();
      fired += !RunWithFault(sweep.point, nth, sweep.errors[nth % sweep.errors.size()], sweep.below).empty();
    }
    EXPECT_TRUE(sweep.fired < 0 || fired == sweep.fired) << fired;
  }
}

// A directory read in several batches whose second read fails: what the
// first batch brought is removed, the rest stays.
TEST_P(InjectedFaultTest, AReadFailingHalfWayKeepsTheRestOfThatDirectory) {
  BuildArchive();
  const std::string big = archive + "/20010101/b/c/d/e/f";
  for (int i = 0; i < 3000; ++i) WriteFile(big + "/file-with-a-long-name-" + std::to_string(i));
  // Reads: the archive, 20010101, b, c, d, e, then f's first batch.
  EXPECT_EQ(RunWithFault(FaultPoint::ReadDirectory, 8, EIO, true),
            "kelvane: cannot remove " + big + ": " + ErrorText({Outcome::Failed, EIO}) + "\n");
  EXPECT_GT(Names(big).size(), 0u);
  EXPECT_LT(Names(big).size(), 3000u);
}

// Entries that stay beside subdirectories deeper than the window of open
// directories: coming back from each, the walk reads on where it was, so
// what stays is listed twice in all, not once a subdirectory.
TEST_P(InjectedFaultTest, EntriesThatStayAreNotListedAgainForEachDeepSubdirectory) {
  const std::string expired = archive + "/20010101/";
  MakeDirectory(archive);
  MakeDirectory(expired);
  const int kept = 1000, chains = 40;
  for (int i = 0; i < kept; ++i) {
    WriteFile(expired + std::string(250, 'k') + std::to_string(i));
    if (i % (kept / chains) != 0) continue;
    MakeDirectory(expired + std::to_string(i));
    MakeChain(expired + std::to_string(i), 3);
  }
  // Every removal is refused, so all of it stays. A directory takes two
  // reads and one more each time it is opened again; a read brings fifty
  // of these names at least.
  InjectFault(FaultPoint::RemoveEntry, 1, EPERM, INT_MAX);
  InjectFault(FaultPoint::ReadDirectory, 2 * (2 + 4 * chains) + chains + 2 * kept / 50 + 1, EIO);
  ::testing::internal::CaptureStderr();
  ScanArchive(archive + "/", 30);
  EXPECT_EQ(::testing::internal::GetCapturedStderr().find(ErrorText({Outcome::Failed, EIO})),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Threads, InjectedFaultTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "One" : "Several"; });

}  // namespace
}  // namespace kelvane
