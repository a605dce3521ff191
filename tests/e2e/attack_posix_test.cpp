// Runs the built tool while something works against it: another process
// swapping directories for links, a kill at a random moment, entries coming
// and going, links and mounts that lead out of the archive, hostile names.
// Whatever happens, nothing but the expired entries may change, and a
// second run must always finish the work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "expiry/archive_scan.h"
#include "runtime/console.h"
#include "runtime/fault_injection.h"
#include "support/support.h"

namespace kelvane {
namespace {

using namespace testing;

// Runs `step(i)` for i = 0, 1, 2, ... on a thread of its own until it is
// destroyed. Steps use plain system calls and ignore their failures: the
// tool removes what they work on at the same time.
struct Loop {
  explicit Loop(std::function<void(int)> step)
      : thread([step](std::stop_token stop) {
          for (int i = 0; !stop.stop_requested(); ++i) step(i);
        }) {}
  std::jthread thread;
};

void RemoveAll(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

// Moves `target` away to `parked`, puts a link to `outside` in its place,
// and then puts it back.
void SwapForLink(const std::string& target, const std::string& parked, const std::string& outside) {
  if (rename(target.c_str(), parked.c_str()) != 0) return;
  symlink(outside.c_str(), target.c_str());
  std::this_thread::yield();
  unlink(target.c_str());
  rename(parked.c_str(), target.c_str());
}

// Four branches of six nested directories with files at every level: deeper
// than the window of directories the tool keeps open.
void BuildExpiredTree(const std::string& top, int filesPerLevel = 20) {
  MakeDirectory(top);
  for (int branch = 0; branch < 4; ++branch) {
    std::string dir = top + "/s" + std::to_string(branch);
    for (int level = 0; level < 6; ++level) {
      MakeDirectory(dir);
      for (int f = 0; f < filesPerLevel; ++f) WriteFile(dir + "/f" + std::to_string(f));
      dir += "/n";
    }
  }
}

class AttackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Build(tmp.path(), {"archive/", "outside/", "outside/canary", "outside/deep/", "outside/deep/canary",
                       "archive/notes.txt", "archive/" + young + "/", "archive/" + young + "/file"});
  }

  void ExpectOutsideUntouched() {
    EXPECT_EQ(Tree(outside), (std::vector<std::string>{"canary", "deep/", "deep/canary"}));
    EXPECT_EQ(ReadFile(outside + "/canary"), "outside/canary");
  }

  void ExpectStayingUntouched() {
    EXPECT_EQ(ReadFile(archive + "/" + young + "/file"), "archive/" + young + "/file");
    EXPECT_EQ(ReadFile(archive + "/notes.txt"), "archive/notes.txt");
  }

  // What a run that went through leaves: the young and undated entries.
  void ExpectOnlyStaying() {
    EXPECT_EQ(Tree(archive), (std::vector<std::string>{young + "/", young + "/file", "notes.txt"}));
    ExpectStayingUntouched();
  }

  TempDir tmp;
  const std::string archive = tmp / "archive", outside = tmp / "outside", young = DateDaysAgo(0);
};

// While the tool works, another thread races it over and over: it swaps a
// directory of the tree, at every depth in turn, or the expired entry
// itself, for a link to the outside and back, or makes and deletes entries
// in the archive and inside the tree. Entries that vanish by themselves
// are no error.
TEST_F(AttackTest, RacesNeverLeadOutsideNorLoseTheWay) {
  const std::string entry = archive + "/20010101";
  const std::vector<std::string> depths = {"/s0", "/s1/n", "/s2/n/n/n", "/s3/n/n/n/n/n"};
  const std::pair<const char*, std::function<void(int)>> races[] = {
      {"a directory swapped",
       [&](int i) {
         const std::string parked = (i % 2 == 0 ? tmp.path() : entry) + "/parked" + std::to_string(i % 4);
         SwapForLink(entry + depths[i % 4], parked, outside);
       }},
      {"the entry swapped", [&](int) { SwapForLink(entry, tmp / "parked", outside); }},
      {"churn",
       [&](int i) {
         for (const std::string& place : {archive + "/20010103-", archive + "/" + DateDaysAgo(1) + "-",
                                          archive + "/undated-", entry + "/", entry + "/s0/n/"}) {
           const std::string made = place + "churn" + std::to_string(i % 16);
           const std::string gone = place + "churn" + std::to_string((i + 8) % 16);
           if (i % 2 == 0)
             mkdir(made.c_str(), 0755);
           else
             close(open(made.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
           unlink(gone.c_str());
           rmdir(gone.c_str());
         }
       }},
  };
  for (const auto& [what, race] : races) {
    for (int trial = 0; trial < Trials(20, 500); ++trial) {
      SCOPED_TRACE(std::string(what) + ", run " + std::to_string(trial));
      BuildExpiredTree(entry);
      RunResult run;
      {
        Loop loop(race);
        run = RunKelvane({archive, "30"}, {.oneProcessor = trial % 2 == 0});
      }
      EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 2) << run.exitCode << run.err;
      EXPECT_EQ(run.err.find(std::strerror(ENOENT)), std::string::npos) << run.err;
      ExpectOutsideUntouched();
      ExpectStayingUntouched();
      for (const std::string& name : Names(archive))
        if (name.find("churn") != std::string::npos || name == "20010101") RemoveAll(archive + "/" + name);
      for (const std::string& name : Names(tmp.path()))
        if (name.starts_with("parked")) RemoveAll(tmp / name);
    }
  }
}

// Killed at a random moment while removing a large tree that holds links
// to the outside, the run is finished by the next one, and only then.
TEST_F(AttackTest, ARunKilledAnywhereIsFinishedByTheNext) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> moment(0, 30000);
  for (int trial = 0; trial < Trials(10, 100); ++trial) {
    const std::chrono::microseconds delay(moment(random));
    SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " microseconds");
    MakeDirectory(archive + "/20010101");
    for (int d = 0; d < 4; ++d) BuildExpiredTree(archive + "/20010101/t" + std::to_string(d), 10);
    testing::MakeChain(archive + "/20010101", 200);
    ASSERT_EQ(link((outside + "/canary").c_str(), (archive + "/20010101/hard").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (archive + "/20010101/t0/link").c_str()), 0);
    WriteFile(archive + "/20010102.zip");
    RunKelvane({archive, "30"}, {.killAfter = delay, .oneProcessor = trial % 2 == 0});
    const RunResult again = RunKelvane({archive, "30"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.err, "");
    ExpectOnlyStaying();
    ExpectOutsideUntouched();
    struct stat st;
    ASSERT_EQ(stat((outside + "/canary").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
  }
}

// A hard link inside an expired tree to a file outside, of another owner:
// only the link goes, also from a directory whose mode is opened up first.
TEST_F(AttackTest, AHardLinkToAnOutsideFileLeavesTheFileAsItWas) {
  const std::string file = outside + "/canary";
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(lchown(file.c_str(), 1234, 1234) == 0, testing::RunningAsRoot());
  MakeDirectory(archive + "/20010101");
  MakeDirectory(archive + "/20010101/locked");
  ASSERT_EQ(link(file.c_str(), (archive + "/20010101/hard").c_str()), 0);
  ASSERT_EQ(link(file.c_str(), (archive + "/20010101/locked/hard").c_str()), 0);
  ASSERT_EQ(chmod((archive + "/20010101/locked").c_str(), 0500), 0);
  const RunResult run = RunKelvane({archive, "30"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  ExpectOnlyStaying();
  ExpectOutsideUntouched();
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_nlink, 1u);
  EXPECT_EQ(st.st_uid, testing::RunningAsRoot() ? 1234u : getuid());
}

// Bind mounts of the outside directory inside an expired tree and as an
// expired entry: the same device, so only the mount itself tells. The
// kernel refuses them during the open; where it cannot (before Linux 5.6,
// or in a sandbox that refuses openat2), their mount ids tell; where those
// cannot be read either, no directory is entered at all.
TEST_F(AttackTest, ABindMountIsNeverEntered) {
  if (!testing::RunningAsRoot()) GTEST_SKIP() << "mount --bind needs root";
  const std::string entry = archive + "/20010101", mnt = entry + "/mnt", mounted = archive + "/20010102";
  struct Unmount {
    std::vector<std::string> paths;
    ~Unmount() {
      for (const std::string& path : paths) std::system(("umount '" + path + "'").c_str());
      InjectFault(FaultPoint::OpenBeneath, 0, 0);
      InjectFault(FaultPoint::ReadMountId, 0, 0);
    }
  } unmount;
  MakeDirectory(entry);
  for (const std::string& point : {mnt, mounted}) {
    MakeDirectory(point);
    if (std::system(("mount --bind '" + outside + "' '" + point + "' 2>/dev/null").c_str()) != 0)
      GTEST_SKIP() << "mount --bind is not permitted here";
    unmount.paths.push_back(point);
  }
  StandardOutput.transfer = [](const char*, std::size_t) { return 0; };
  const char* crossed = "mount point not crossed";
  const char* unknown = "not entered: cannot tell whether it is a mount point";
  const struct {
    int openat2Error, mountIdError;
    std::string first, reason;
  } modes[] = {{0, 0, mnt, crossed}, {EPERM, 0, mnt, crossed}, {ENOSYS, ENOSYS, entry, unknown}};
  for (const auto& mode : modes) {
    SCOPED_TRACE("openat2 error " + std::to_string(mode.openat2Error));
    WriteFile(entry + "/before");
    WriteFile(entry + "/zafter");
    InjectFault(FaultPoint::OpenBeneath, mode.openat2Error ? 1 : 0, mode.openat2Error, INT_MAX);
    InjectFault(FaultPoint::ReadMountId, mode.mountIdError ? 1 : 0, mode.mountIdError, INT_MAX);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ScanArchive(archive + "/", 30));
    EXPECT_EQ(testing::SortedLines(::testing::internal::GetCapturedStderr()),
              (std::vector<std::string>{"kelvane: cannot remove " + mode.first + ": " + mode.reason,
                                        "kelvane: cannot remove " + mounted + ": " + mode.reason}));
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"20010101", "20010102", young, "notes.txt"}));
    ExpectOutsideUntouched();
  }
  EXPECT_EQ(Names(entry), (std::vector<std::string>{"before", "mnt", "zafter"}));
}

// Every byte but "/" and NUL in names, names of 255 bytes, names that look
// like options or like "..", dated old and young: each goes, or stays,
// exactly as its date says, and is reported byte for byte, but for control
// characters, which could forge a report line.
TEST_F(AttackTest, HostileNamesAreOrdinaryBytes) {
  const std::string old = "20010101";
  std::vector<std::pair<std::string, std::string>> expired = {{old + std::string(247, 'L'), ""},
                                                              {old + "..", ""},
                                                              {old + "-rf", ""},
                                                              {old + " --help", ""},
                                                              {old + "\xC2\x85", old + "\\xC2\\x85"}};
  std::vector<std::string> staying = {young,        "notes.txt", young + std::string(247, 'L'),
                                      young + "..", "-rf",       "--no-preserve-root",
                                      "--",         ".." + old,  "..."};
  for (int byte = 1; byte <= 0xFF; ++byte) {
    if (byte == '/') continue;
    const std::string tail(1, static_cast<char>(byte));
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    expired.emplace_back(old + tail + "x", old + (byte < 0x20 || byte == 0x7F ? hex : tail) + "x");
    staying.push_back(young + tail + "y");
    staying.push_back(tail + "notdated");  // the month field reads "da"
  }
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < expired.size(); ++i) {
    const std::string path = archive + "/" + expired[i].first;
    if (i % 2 == 0) {
      MakeDirectory(path);
      for (const std::string& inner :
           std::vector<std::string>{"-rf", "--", "..x", "...", "-", " ", std::string(255, '\xff')})
        WriteFile(path + "/" + inner);
    } else {
      WriteFile(path);
    }
    const std::string shown = expired[i].second.empty() ? expired[i].first : expired[i].second;
    lines.push_back(testing::Report(shown, testing::TodayNumber() - 11324, i % 2 == 0));
  }
  for (const std::string& name : staying)
    if (!Exists(archive + "/" + name)) WriteFile(archive + "/" + name, name);
  const RunResult run = RunKelvane({archive, "30"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(testing::SortedLines(run.out), lines);
  std::sort(staying.begin(), staying.end());
  EXPECT_EQ(Names(archive), staying);
}

}  // namespace
}  // namespace kelvane
