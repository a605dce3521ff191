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
#include <atomic>
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
#include "support/dates.h"
#include "support/output.h"
#include "support/support.h"

namespace kelvane {
namespace {

using testing::DateDaysAgo;
using testing::Exists;
using testing::MakeDirectory;
using testing::Names;
using testing::ReadFile;
using testing::RunKelvane;
using testing::RunResult;
using testing::TempDir;
using testing::Trials;
using testing::WriteFile;

// Runs `step(i)` for i = 0, 1, 2, ... on a thread of its own until it is
// destroyed. Steps use plain system calls and ignore their failures: the
// tool removes what they work on at the same time.
class Loop {
 public:
  explicit Loop(std::function<void(int)> step)
      : thread_([this, step] {
          for (int i = 0; !stop_; ++i) step(i);
        }) {}
  ~Loop() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void RemoveAll(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void MakeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
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
    MakeDirectory(archive);
    MakeDirectory(outside);
    for (int i = 0; i < 10; ++i) WriteFile(Canary(i), "canary " + std::to_string(i));
    MakeDirectory(outside + "/deep");
    WriteFile(outside + "/deep/canary", "deep canary");
    MakeDirectory(archive + "/" + young);
    WriteFile(archive + "/" + young + "/file", "young");
    WriteFile(archive + "/notes.txt", "notes");
  }

  std::string Canary(int i) const { return outside + "/canary" + std::to_string(i); }

  void ExpectOutsideUntouched() {
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ReadFile(Canary(i)), "canary " + std::to_string(i));
    EXPECT_EQ(ReadFile(outside + "/deep/canary"), "deep canary");
    EXPECT_EQ(Names(outside).size(), 11u);
  }

  void ExpectStayingUntouched() {
    EXPECT_EQ(ReadFile(archive + "/" + young + "/file"), "young");
    EXPECT_EQ(ReadFile(archive + "/notes.txt"), "notes");
  }

  // Runs the tool over the archive while `step` runs over and over beside
  // it; every other trial on one thread.
  RunResult RunBeside(int trial, std::function<void(int)> step) {
    Loop loop(std::move(step));
    return RunKelvane({archive, "30"}, {.oneProcessor = trial % 2 == 0});
  }

  // What must hold after any run, however it was disturbed.
  void ExpectNothingElseTouched(const RunResult& run) {
    EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 2) << run.exitCode << run.err;
    ExpectOutsideUntouched();
    ExpectStayingUntouched();
  }

  // What a run that went through leaves: the young and undated entries.
  void ExpectOnlyStaying() {
    EXPECT_EQ(Names(archive), (std::vector<std::string>{young, "notes.txt"}));
    ExpectStayingUntouched();
  }

  TempDir tmp;
  const std::string archive = tmp / "archive";
  const std::string outside = tmp / "outside";
  const std::string young = DateDaysAgo(0);
};

// While the tool works inside the tree, a directory of it, at every depth
// in turn, is moved away (out of the archive or elsewhere in the tree) and
// a link to the outside directory put in its place, then put back.
TEST_F(AttackTest, SwappingADirectoryForALinkNeverLeadsOutside) {
  const char* targets[] = {"20010101/s0", "20010101/s1/n", "20010101/s2/n/n/n", "20010101/s3/n/n/n/n/n"};
  const int trials = Trials(20, 500);
  for (int trial = 0; trial < trials; ++trial) {
    SCOPED_TRACE("run " + std::to_string(trial));
    RemoveAll(archive + "/20010101");
    BuildExpiredTree(archive + "/20010101");
    ExpectNothingElseTouched(RunBeside(trial, [&](int i) {
      const std::string parked =
          (i % 2 == 0 ? tmp.path() : archive + "/20010101") + "/parked" + std::to_string(i % 4);
      SwapForLink(archive + "/" + targets[i % 4], parked, outside);
    }));
    for (int i = 0; i < 4; ++i) RemoveAll(tmp / ("parked" + std::to_string(i)));
  }
}

// The expired entry itself is swapped for a link between the scan that
// finds it and the removal that opens it.
TEST_F(AttackTest, SwappingTheExpiredEntryForALinkNeverLeadsOutside) {
  const std::string entry = archive + "/20010101";
  const std::string parked = tmp / "parked";
  const int trials = Trials(20, 500);
  for (int trial = 0; trial < trials; ++trial) {
    SCOPED_TRACE("run " + std::to_string(trial));
    RemoveAll(entry);
    RemoveAll(parked);
    BuildExpiredTree(entry, 2);
    ExpectNothingElseTouched(RunBeside(trial, [&](int) { SwapForLink(entry, parked, outside); }));
  }
}

// Killed at a random moment while removing a large tree that holds links
// to the outside, the run is finished by the next one, and only then.
TEST_F(AttackTest, ARunKilledAnywhereIsFinishedByTheNext) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> moment(0, 30000);
  const int trials = Trials(10, 100);
  for (int trial = 0; trial < trials; ++trial) {
    const std::chrono::microseconds delay(moment(random));
    SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " microseconds");
    MakeDirectory(archive + "/20010101");
    for (int d = 0; d < 4; ++d) BuildExpiredTree(archive + "/20010101/t" + std::to_string(d), 10);
    testing::MakeChain(archive + "/20010101", 200);
    ASSERT_EQ(link(Canary(0).c_str(), (archive + "/20010101/hard").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (archive + "/20010101/t0/link").c_str()), 0);
    WriteFile(archive + "/20010102.zip");

    RunKelvane({archive, "30"}, {.killAfter = delay, .oneProcessor = trial % 2 == 0});
    const RunResult again = RunKelvane({archive, "30"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.err, "");
    ExpectOnlyStaying();
    ExpectOutsideUntouched();
    struct stat st;
    ASSERT_EQ(stat(Canary(0).c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
  }
}

// Another process keeps creating and deleting dated and undated entries
// in the archive and inside the expired tree. Entries that vanish by
// themselves are no error; ones that appear in a directory being emptied
// may keep it, and say so.
TEST_F(AttackTest, EntriesComingAndGoingDuringTheWalk) {
  const int trials = Trials(5, 50);
  for (int trial = 0; trial < trials; ++trial) {
    SCOPED_TRACE("run " + std::to_string(trial));
    RemoveAll(archive + "/20010101");
    BuildExpiredTree(archive + "/20010101");
    const RunResult run = RunBeside(trial, [&](int i) {
      const std::string places[] = {archive + "/20010103-", archive + "/" + DateDaysAgo(1) + "-",
                                    archive + "/undated-", archive + "/20010101/",
                                    archive + "/20010101/s0/n/"};
      for (const std::string& place : places) {
        const std::string made = place + "churn" + std::to_string(i % 16);
        const std::string gone = place + "churn" + std::to_string((i + 8) % 16);
        if (i % 2 == 0)
          mkdir(made.c_str(), 0755);
        else
          MakeFile(made);
        unlink(gone.c_str());
        rmdir(gone.c_str());
      }
    });
    ExpectNothingElseTouched(run);
    EXPECT_EQ(run.err.find(std::strerror(ENOENT)), std::string::npos) << run.err;
    for (const std::string& name : Names(archive))
      if (name.find("churn") != std::string::npos) RemoveAll(archive + "/" + name);
  }
}

// A hard link inside an expired tree to a file outside: only the link
// goes, also from a directory whose mode first has to be opened up.
TEST_F(AttackTest, AHardLinkToAnOutsideFileLeavesTheFileAsItWas) {
  const std::string file = outside + "/precious";
  WriteFile(file, "precious");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  const bool root = testing::RunningAsRoot();
  if (root) testing::ChangeOwner(file, 1234);
  MakeDirectory(archive + "/20010101");
  MakeDirectory(archive + "/20010101/locked");
  ASSERT_EQ(link(file.c_str(), (archive + "/20010101/hard").c_str()), 0);
  ASSERT_EQ(link(file.c_str(), (archive + "/20010101/locked/hard").c_str()), 0);
  ASSERT_EQ(chmod((archive + "/20010101/locked").c_str(), 0500), 0);

  const RunResult run = RunKelvane({archive, "30"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  ExpectOnlyStaying();
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(ReadFile(file), "precious");
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_nlink, 1u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
  }
}

// Run as an unprivileged owner: directories of the expired tree whose modes
// refuse their owner are opened up and emptied; the archive itself, which
// refuses too, keeps its mode and its entries.
TEST_F(AttackTest, OnlyDirectoriesOfTheExpiredTreeHaveTheirModesOpenedUp) {
  if (!testing::RunningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  const int nobody = 65534;
  // The rw- directories may be listed but not searched; in one a file comes
  // first, in the other a subdirectory, whether the listing follows the
  // order of creation or the names.
  const std::vector<std::string> dirs = {"/20010101",           "/20010101/none",  "/20010101/r-x",
                                         "/20010101/r-x/inner", "/20010101/rw-a",  "/20010101/rw-a/s",
                                         "/20010101/rw-b",      "/20010101/rw-b/f"};
  const std::vector<std::string> files = {
      "/20010101/none/file", "/20010101/r-x/file", "/20010101/r-x/inner/file", "/20010101/rw-a/f",
      "/20010101/rw-a/s/g",  "/20010101/rw-b/f/g", "/20010101/rw-b/s",         "/20010102.zip"};
  for (const std::string& dir : dirs) MakeDirectory(archive + dir);
  for (const std::string& file : files) WriteFile(archive + file);
  testing::ChangeOwner(archive, nobody);
  for (const auto* paths : {&dirs, &files})
    for (const std::string& path : *paths) testing::ChangeOwner(archive + path, nobody);
  ASSERT_EQ(chmod((archive + "/20010101/none").c_str(), 0), 0);
  ASSERT_EQ(chmod((archive + "/20010101/r-x").c_str(), 0500), 0);
  ASSERT_EQ(chmod((archive + "/20010101/rw-a").c_str(), 0600), 0);
  ASSERT_EQ(chmod((archive + "/20010101/rw-b").c_str(), 0600), 0);
  ASSERT_EQ(chmod(archive.c_str(), 0555), 0);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0711), 0);

  const RunResult run = RunKelvane({archive, "30"}, {.user = nobody});
  for (const char* name : {"20010101", "20010102.zip"})
    EXPECT_NE(run.err.find("kelvane: cannot remove " + archive + "/" + name + ": Permission denied\n"),
              std::string::npos)
        << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(Names(archive), (std::vector<std::string>{"20010101", "20010102.zip", young, "notes.txt"}));
  EXPECT_TRUE(Names(archive + "/20010101").empty());
  struct stat st;
  ASSERT_EQ(stat(archive.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0555u);
}

// Directories mounted inside an expired tree and as an expired entry, here
// bind mounts of the outside directory: the same device, so only the
// mount itself tells. The kernel refuses them during the open; where it
// cannot (before Linux 5.6, or in a sandbox that refuses openat2), their
// mount ids tell; where those cannot be read either, no directory is
// entered at all.
TEST_F(AttackTest, ABindMountIsNeverEntered) {
  if (!testing::RunningAsRoot()) GTEST_SKIP() << "mount --bind needs root";
  MakeDirectory(archive + "/20010101");
  const std::string mountPoints[] = {archive + "/20010101/mnt", archive + "/20010102"};
  struct Unmount {
    std::vector<std::string> paths;
    ~Unmount() {
      for (const std::string& path : paths) std::system(("umount '" + path + "'").c_str());
      for (int point = 0; point < static_cast<int>(FaultPoint::Count); ++point)
        InjectFault(static_cast<FaultPoint>(point), 0, 0);
    }
  } unmount;
  for (const std::string& mountPoint : mountPoints) {
    MakeDirectory(mountPoint);
    if (std::system(("mount --bind '" + outside + "' '" + mountPoint + "' 2>/dev/null").c_str()) != 0)
      GTEST_SKIP() << "mount --bind is not permitted here";
    unmount.paths.push_back(mountPoint);
  }
  StandardOutput.transfer = [](const char*, std::size_t) { return 0; };

  const struct {
    int openat2Error, mountIdError;
    std::vector<std::string> staying;
  } modes[] = {
      {0, 0, {archive + "/20010101/mnt", archive + "/20010102"}},
      {EPERM, 0, {archive + "/20010101/mnt", archive + "/20010102"}},
      {ENOSYS, ENOSYS, {archive + "/20010101", archive + "/20010102"}},
  };
  for (const auto& mode : modes) {
    SCOPED_TRACE("openat2 error " + std::to_string(mode.openat2Error));
    WriteFile(archive + "/20010101/before");
    WriteFile(archive + "/20010101/zafter");
    InjectFault(FaultPoint::OpenBeneath, mode.openat2Error ? 1 : 0, mode.openat2Error, INT_MAX);
    InjectFault(FaultPoint::ReadMountId, mode.mountIdError ? 1 : 0, mode.mountIdError, INT_MAX);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ScanArchive(archive + "/", 30));
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string reason = mode.mountIdError ? "not entered: cannot tell whether it is a mount point"
                                                 : "mount point not crossed";
    EXPECT_EQ(testing::SortedLines(err),
              (std::vector<std::string>{"kelvane: cannot remove " + mode.staying[0] + ": " + reason,
                                        "kelvane: cannot remove " + mode.staying[1] + ": " + reason}));
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"20010101", "20010102", young, "notes.txt"}));
    ExpectOutsideUntouched();
  }
  EXPECT_EQ(Names(archive + "/20010101"), (std::vector<std::string>{"before", "mnt", "zafter"}));
}

// Every byte but "/" and NUL in names, names of 255 bytes, names that look
// like options or like "..", dated old and young: each is removed, or left
// alone, exactly as its date says, and reported byte for byte, but for the
// control characters, which could forge a report line.
TEST_F(AttackTest, HostileNamesAreOrdinaryBytes) {
  const std::string old = "20010101";
  std::vector<std::pair<std::string, std::string>> expired;  // name, as shown
  std::vector<std::string> staying = {young, "notes.txt"};
  for (int byte = 1; byte <= 0xFF; ++byte) {
    if (byte == '/') continue;
    const std::string tail(1, static_cast<char>(byte));
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    expired.emplace_back(old + tail + "x", old + (byte < 0x20 || byte == 0x7F ? hex : tail) + "x");
    staying.push_back(young + tail + "y");
    staying.push_back(tail + "notdated");  // the month field reads "da"
  }
  for (const std::string& name : {old + std::string(247, 'L'), old + "..", old + "-rf", old + " --help"})
    expired.emplace_back(name, name);
  expired.emplace_back(old + "\xC2\x85", old + "\\xC2\\x85");
  for (const std::string& name :
       {young + std::string(247, 'L'), young + "..", std::string("-rf"), std::string("--no-preserve-root"),
        std::string("--"), std::string("..") + old, std::string("...")})
    staying.push_back(name);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < expired.size(); ++i) {
    const auto& [name, shown] = expired[i];
    const bool directory = i % 2 == 0;
    if (directory) {
      MakeDirectory(archive + "/" + name);
      for (const char* inner : {"-rf", "--", "..x", "...", "-", " "})
        WriteFile(archive + "/" + name + "/" + inner);
      WriteFile(archive + "/" + name + "/" + std::string(255, '\xff'));
    } else {
      WriteFile(archive + "/" + name);
    }
    lines.push_back(testing::Report(shown, testing::TodayNumber() - 11324, directory));
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
  for (const std::string& name : staying) {
    if (name == young) continue;
    EXPECT_EQ(ReadFile(archive + "/" + name), name == "notes.txt" ? "notes" : name);
  }
}

}  // namespace
}  // namespace kelvane
