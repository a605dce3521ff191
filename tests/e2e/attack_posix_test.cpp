// Runs the built tool while something works against it: another thread
// swapping directories for links, a kill at a random moment, entries coming
// and going, links and mounts that lead out of the archive. Whatever
// happens, nothing but the expired entries may change, and a second run
// must always finish the work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "expiry/archive_scan.h"
#include "runtime/console.h"
#include "runtime/fault_injection.h"
#include "support/support.h"

namespace kelvane::testing {
namespace {

// How often a randomised test repeats: twenty times as often when
// KELVANE_LONG_TESTS is set (./test.sh --long).
int Trials(int quick) { return std::getenv("KELVANE_LONG_TESTS") != nullptr ? 20 * quick : quick; }

// Moves `target` away to `parked`, puts a link to `outside` in its place,
// and then puts it back. Failures are ignored: the tool removes the same
// entries at the same time.
void SwapForLink(const std::string& target, const std::string& parked, const std::string& outside) {
  if (rename(target.c_str(), parked.c_str()) != 0) return;
  symlink(outside.c_str(), target.c_str());
  std::this_thread::yield();
  unlink(target.c_str());
  rename(parked.c_str(), target.c_str());
}

// Four branches of six nested directories with files at every level: deeper
// than the window of directories the tool keeps open.
void BuildExpiredTree(const std::string& top) {
  MakeDirectory(top);
  for (int branch = 0; branch < 4; ++branch) {
    std::string dir = top + "/s" + std::to_string(branch);
    for (int level = 0; level < 6; ++level, dir += "/n") {
      MakeDirectory(dir);
      for (int f = 0; f < 20; ++f) WriteFile(dir + "/f" + std::to_string(f));
    }
  }
}

class AttackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Build(tmp.path(), {"archive/", "outside/", "outside/canary", "outside/deep/", "archive/notes.txt",
                       "archive/" + young + "/", "archive/" + young + "/file"});
  }

  // The outside and the entries that stay are as they were; `finished`:
  // and nothing else is left.
  void ExpectUntouched(bool finished) {
    EXPECT_EQ(Tree(outside), (std::vector<std::string>{"canary", "deep/"}));
    EXPECT_EQ(ReadFile(outside + "/canary") + ReadFile(archive + "/notes.txt"),
              "outside/canaryarchive/notes.txt");
    EXPECT_EQ(ReadFile(archive + "/" + young + "/file"), "archive/" + young + "/file");
    if (finished) {
      EXPECT_EQ(Tree(archive), (std::vector<std::string>{young + "/", young + "/file", "notes.txt"}));
    }
  }

  TempDir tmp;
  const std::string archive = tmp / "archive", outside = tmp / "outside", young = DateDaysAgo(0);
};

// Whatever works against a run, nothing outside the archive changes and
// the next run finishes the work. Another thread swaps a directory of the
// tree, at every depth in turn, or the expired entry itself, for a link to
// the outside and back, or makes and deletes entries in the archive and in
// the tree; or the run is killed at a random moment. Entries that vanish
// by themselves are no error. The tree holds links to the outside, among
// them hard links to a file of another owner, one in a directory whose mode
// is opened up first: only the links go.
TEST_F(AttackTest, NoAttackLeadsOutsideNorKeepsTheNextRunFromFinishing) {
  const std::string entry = archive + "/20010101", canary = outside + "/canary";
  const std::string depths[] = {"/s0", "/s1/n", "/s2/n/n/n", "/s3/n/n/n/n/n"};
  const std::function<void(int)> attacks[] = {
      [&](int i) {
        SwapForLink(entry + depths[i % 4], (i % 2 ? entry : tmp.path()) + "/parked" + std::to_string(i % 4),
                    outside);
      },
      [&](int) { SwapForLink(entry, tmp / "parked", outside); },
      [&](int i) {
        for (const std::string& place :
             {archive + "/20010103-", archive + "/undated-", entry + "/", entry + "/s0/n/"}) {
          const std::string made = place + "churn" + std::to_string(i % 16),
                            gone = place + "churn" + std::to_string((i + 8) % 16);
          i % 2 ? mkdir(made.c_str(), 0755) : close(open(made.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
          unlink(gone.c_str()) && rmdir(gone.c_str());
        }
      },
      nullptr,  // killed
  };
  ASSERT_EQ(chmod(canary.c_str(), 0640), 0);
  ASSERT_EQ(lchown(canary.c_str(), 1234, 1234) == 0, RunningAsRoot());
  std::mt19937 random(std::random_device{}());
  for (int trial = 0; trial < 4 * Trials(15); ++trial) {
    const auto& attack = attacks[trial % 4];
    const std::chrono::microseconds delay(attack ? 0 : std::uniform_int_distribution<int>(1, 30000)(random));
    SCOPED_TRACE("attack " + std::to_string(trial % 4) + ", killed after " + std::to_string(delay.count()) +
                 " us");
    BuildExpiredTree(entry);
    Build(entry, {"locked/", "s0/link->" + outside});
    MakeChain(entry, 200);
    ASSERT_EQ(link(canary.c_str(), (entry + "/hard").c_str()) +
                  link(canary.c_str(), (entry + "/locked/hard").c_str()) +
                  chmod((entry + "/locked").c_str(), 0500),
              0);
    RunResult run;
    {
      std::jthread loop([&](std::stop_token stop) {
        for (int i = 0; attack && !stop.stop_requested(); ++i) attack(i);
      });
      run = RunKelvane({archive, "30"}, {.killAfter = delay, .oneProcessor = trial / 4 % 2 == 0});
    }
    EXPECT_TRUE(!attack || run.exitCode == 0 || run.exitCode == 2) << run.exitCode << run.err;
    EXPECT_EQ(run.err.find(std::strerror(ENOENT)), std::string::npos) << run.err;
    ExpectUntouched(false);
    // What the attack itself left outside the expired entries.
    std::system(("rm -rf " + tmp.path() + "/parked* " + archive + "/undated-*").c_str());
    const RunResult again = RunKelvane({archive, "30"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.err, "");
    ExpectUntouched(true);
    struct stat st;
    ASSERT_EQ(stat(canary.c_str(), &st), 0);
    EXPECT_EQ(std::tuple(st.st_mode & 07777, st.st_nlink, st.st_uid),
              std::tuple(0640u, 1u, RunningAsRoot() ? 1234u : getuid()));
  }
}

// Bind mounts of the outside directory inside an expired tree and as an
// expired entry: the same device, so only the mount itself tells. The
// kernel refuses them during the open; where it cannot (before Linux 5.6,
// or in a sandbox that refuses openat2), their mount ids tell; where those
// cannot be read either, no directory is entered at all.
TEST_F(AttackTest, ABindMountIsNeverEntered) {
  if (!RunningAsRoot()) GTEST_SKIP() << "mount --bind needs root";
  const std::string entry = archive + "/20010101", mnt = entry + "/mnt", mounted = archive + "/20010102";
  Build(archive, {"20010101/", "20010101/mnt/", "20010102/"});
  const std::shared_ptr<void> unmount(nullptr, [&](void*) {
    std::system(("umount " + mnt + " " + mounted + " 2>/dev/null").c_str());
    InjectFault(FaultPoint::OpenBeneath, 0, 0);
    InjectFault(FaultPoint::ReadMountId, 0, 0);
  });
  if (std::system(
          ("mount --bind " + outside + " " + mnt + " && mount --bind " + outside + " " + mounted).c_str()))
    GTEST_SKIP() << "mount --bind is not permitted here";
  StandardOutput.transfer = [](const char*, std::size_t) { return 0; };
  const std::string crossed = "mount point not crossed",
                    unknown = "not entered: cannot tell whether it is a mount point";
  const std::tuple<int, int, std::string, std::string> modes[] = {
      {0, 0, mnt, crossed}, {EPERM, 0, mnt, crossed}, {ENOSYS, ENOSYS, entry, unknown}};
  for (const auto& [openat2Error, mountIdError, first, reason] : modes) {
    SCOPED_TRACE("openat2 error " + std::to_string(openat2Error));
    Build(entry, {"before", "zafter"});
    InjectFault(FaultPoint::OpenBeneath, openat2Error ? 1 : 0, openat2Error, INT_MAX);
    InjectFault(FaultPoint::ReadMountId, mountIdError ? 1 : 0, mountIdError, INT_MAX);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ScanArchive(archive + "/", 30));
    EXPECT_EQ(SortedLines(::testing::internal::GetCapturedStderr()),
              (std::vector<std::string>{"kelvane: cannot remove " + first + ": " + reason,
                                        "kelvane: cannot remove " + mounted + ": " + reason}));
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"20010101", "20010102", young, "notes.txt"}));
    ExpectUntouched(false);
  }
  EXPECT_EQ(Names(entry), (std::vector<std::string>{"before", "mnt", "zafter"}));
}

}  // namespace
}  // namespace kelvane::testing
