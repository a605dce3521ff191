// Runs the built tool as a user would and checks its output bytes, its exit
// code and what it leaves on disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "runtime/file_system.h"
#include "support/dates.h"
#include "support/output.h"
#include "support/support.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using testing::DateDaysAgo;
using testing::Exists;
using testing::Lines;
using testing::MakeDirectory;
using testing::Names;
using testing::Output;
using testing::Report;
using testing::RunKelvane;
using testing::RunResult;
using testing::SortedLines;
using testing::TempDir;
using testing::Usage;
using testing::WriteFile;

TEST(UsageTest, ComesForNoArgumentAndForTheHelpRequestAlone) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"/?"}, {"/?", "30"}, {"", ""}}) {
    const RunResult run = RunKelvane(args);
    EXPECT_EQ(run.out, Usage);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);
  }
  EXPECT_NE(RunKelvane({"-?"}).out, Usage);
}

TEST(InvalidPathTest, NamesThePathWithItsSeparator) {
  TempDir tmp;
  const std::string missing = tmp / "no-such";
  const std::string sep(1, PathSeparator);
  for (const std::string& arg : {missing, missing + sep}) {
    const RunResult run = RunKelvane({arg, "1"});
    EXPECT_EQ(run.out, Lines({"Path " + missing + sep + " is not a valid path"}));
    EXPECT_EQ(run.exitCode, 0);
  }
  EXPECT_EQ(RunKelvane({sep}).out, Lines({"Path " + sep + " is not a valid path"}));
}

TEST(InvalidPathTest, AnArchivePathTooLongToKeepIsRefused) {
  TempDir tmp;
  const std::string longName(250, 'a');
  MakeDirectory(tmp / longName);
  WriteFile(tmp / (longName + "/" + DateDaysAgo(100)));
  const RunResult run = RunKelvane({tmp / longName});
  EXPECT_NE(run.out.find("is not a valid path"), std::string::npos);
  EXPECT_EQ(Names(tmp / longName).size(), 1u);
}

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeDirectory(archive); }

  std::string At(const std::string& name) const { return archive + "/" + name; }

  TempDir tmp;
  const std::string archive = tmp / "archive";
};

TEST_F(ArchiveTest, RemovesWhatIsOlderThanTheLimitAndNothingElse) {
  const std::string old = DateDaysAgo(31), boundary = DateDaysAgo(30);
  MakeDirectory(At(old));
  WriteFile(At(old + "/inner.log"));
  WriteFile(At(old + ".zip"));
  WriteFile(At(boundary + ".zip"));
  WriteFile(At(DateDaysAgo(0) + ".log"));
  WriteFile(At(DateDaysAgo(-400)));
  WriteFile(At("notes.txt"));
  MakeDirectory(At("backup"));
  WriteFile(At("2001-05-14"));

  const RunResult run = RunKelvane({archive, "30"});
  EXPECT_EQ(SortedLines(run.out),
            (std::vector<std::string>{Report(old + ".zip", 31, false), Report(old, 31, true)}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(Names(archive),
            (std::vector<std::string>{"2001-05-14", boundary + ".zip", DateDaysAgo(0) + ".log",
                                      DateDaysAgo(-400), "backup", "notes.txt"}));
}

TEST_F(ArchiveTest, HistoryIsReadFromTheHeadOfTheSecondArgument) {
  const struct {
    std::vector<std::string> history;
    int limit;
  } cases[] = {{{}, 40},    {{"0"}, 40},   {{"-3"}, 40}, {{"abc"}, 40},
               {{"7x"}, 7}, {{"$1E"}, 30}, {{"1"}, 1},   {{"2", "ignored"}, 2}};
  for (const auto& c : cases) {
    WriteFile(At(DateDaysAgo(c.limit)));
    WriteFile(At(DateDaysAgo(c.limit + 1)));
    std::vector<std::string> args{archive};
    args.insert(args.end(), c.history.begin(), c.history.end());
    const RunResult run = RunKelvane(args);
    EXPECT_EQ(run.out, Lines({Report(DateDaysAgo(c.limit + 1), c.limit + 1, false)})) << c.limit;
    EXPECT_EQ(Names(archive), std::vector<std::string>{DateDaysAgo(c.limit)}) << c.limit;
    fs::remove(At(DateDaysAgo(c.limit)));
  }
}

TEST_F(ArchiveTest, OddDatesAgeAsTheirDigitsSay) {
  const int today = testing::TodayNumber();
  for (const char* name : {"19690101", "00010101x", "+20010514", " 2001051"}) WriteFile(At(name));
  WriteFile(At("00000101"));
  WriteFile(At("2001A101"));
  const RunResult run = RunKelvane({archive, "30"});
  // A blank or a sign shifts the fields: both names read as the year 200.
  EXPECT_EQ(SortedLines(run.out),
            (std::vector<std::string>{Report(" 2001051", today, false), Report("+20010514", today, false),
                                      Report("00010101x", today, false), Report("19690101", today, false)}));
  EXPECT_EQ(Names(archive), (std::vector<std::string>{"00000101", "2001A101"}));
}

TEST_F(ArchiveTest, RemovalGoesOnWhenStandardOutputIsGone) {
  for (const Output output : {Output::Closed, Output::Full}) {
    MakeDirectory(At("20010101"));
    WriteFile(At("20010101/file"));
    WriteFile(At("20010102.zip"));
    const RunResult run = RunKelvane({archive}, {output});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Names(archive).empty());
  }
}

TEST_F(ArchiveTest, ADatedLinkIsRemovedAsAFileAndItsTargetStays) {
  if (!testing::HavePosix()) GTEST_SKIP() << "symbolic links need POSIX";
  MakeDirectory(tmp / "outside");
  WriteFile(tmp / "outside/canary");
  fs::create_directory_symlink(tmp / "outside", At("20010101"));
  MakeDirectory(At("20010102"));
  fs::create_directory_symlink(tmp / "outside", At("20010102/inner"));
  const RunResult run = RunKelvane({archive});
  const int today = testing::TodayNumber();
  EXPECT_EQ(SortedLines(run.out), (std::vector<std::string>{Report("20010101", today - 11324, false),
                                                            Report("20010102", today - 11325, true)}));
  EXPECT_TRUE(Names(archive).empty());
  EXPECT_EQ(Names(tmp / "outside"), std::vector<std::string>{"canary"});
}

TEST_F(ArchiveTest, TheArchiveMayBeALinkOrAFile) {
  WriteFile(tmp / "20010101.file");
  const RunResult run = RunKelvane({tmp / "20010101.file"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  if (!testing::HavePosix()) return;  // symbolic links need POSIX
  WriteFile(At("20010101"));
  fs::create_directory_symlink(archive, tmp / "link");
  EXPECT_EQ(RunKelvane({tmp / "link"}).exitCode, 0);
  EXPECT_TRUE(Names(archive).empty());
}

TEST_F(ArchiveTest, DeepChainsGoWithAHandfulOfDescriptors) {
  if (!testing::HavePosix()) GTEST_SKIP() << "open-file limits need POSIX";
  MakeDirectory(At("20010101"));
  testing::MakeChain(At("20010101"), 20000);
  WriteFile(At("notes.txt"));
  const RunResult run = RunKelvane({archive}, {.openFileLimit = 16});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(Names(archive), std::vector<std::string>{"notes.txt"});
}

// Run as an unprivileged user over a tree that holds a directory of root's:
// what is inside that directory stays, and so do the directories above it.
// Its name holds a line end, which the report shows as the byte it is.
TEST_F(ArchiveTest, WhatCannotBeRemovedIsReportedAndTheRestGoes) {
  if (!testing::HavePosix() || !testing::RunningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  const int nobody = 65534;
  MakeDirectory(At("20010101"));
  MakeDirectory(At("20010101/mine"));
  WriteFile(At("20010101/mine/file"));
  MakeDirectory(At("20010101/roots\n"));
  WriteFile(At("20010101/roots\n/file"));
  WriteFile(At("20010102.zip"));
  WriteFile(At("20010101/zfile"));
  for (const char* path :
       {"", "/20010101", "/20010101/mine", "/20010101/mine/file", "/20010102.zip", "/20010101/zfile"})
    testing::ChangeOwner(archive + path, nobody);
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
  const RunResult run = RunKelvane({archive}, {.user = nobody});
  const int today = testing::TodayNumber();
  EXPECT_EQ(SortedLines(run.out), (std::vector<std::string>{Report("20010102.zip", today - 11325, false),
                                                            Report("20010101", today - 11324, true)}));
  EXPECT_EQ(run.err, "kelvane: cannot remove " + At("20010101/roots\\x0A/file") + ": Permission denied\n");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(Names(archive), std::vector<std::string>{"20010101"});
  EXPECT_EQ(Names(At("20010101")), std::vector<std::string>{"roots\n"});
  EXPECT_TRUE(Exists(At("20010101/roots\n/file")));
}

// Several threads end as one does: the same bytes on standard output, the
// same lines on standard error, the same exit code and the same entries
// left. Run as an unprivileged user over wide trees that hold directories
// of root's.
TEST_F(ArchiveTest, SeveralThreadsEndAsOneDoes) {
  if (!testing::HavePosix() || !testing::RunningAsRoot()) GTEST_SKIP() << "needs root to switch users";
  const int nobody = 65534;
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
  std::vector<RunResult> runs;
  std::vector<std::vector<std::string>> left(2);
  for (const bool one : {true, false}) {
    fs::remove_all(archive);
    for (const std::string entry : {"20010101", "20010102"}) {
      for (int s = 0; s < 8; ++s) {
        const std::string sub = At(entry + "/s" + std::to_string(s));
        fs::create_directories(sub);
        for (int f = 0; f < 30; ++f) WriteFile(sub + "/f" + std::to_string(f));
        if (s % 3 == 1) {
          MakeDirectory(sub + "/roots");
          WriteFile(sub + "/roots/file");
        }
      }
    }
    WriteFile(At("20010103.zip"));
    testing::ChangeOwner(archive, nobody);
    for (const auto& entry : fs::recursive_directory_iterator(archive))
      if (entry.path().parent_path().filename() != "roots" && entry.path().filename() != "roots")
        testing::ChangeOwner(entry.path().string(), nobody);
    runs.push_back(RunKelvane({archive}, {.user = nobody, .oneProcessor = one}));
    for (const auto& entry : fs::recursive_directory_iterator(archive))
      left[one].push_back(entry.path().string());
    std::sort(left[one].begin(), left[one].end());
  }
  EXPECT_EQ(runs[0].out, runs[1].out);
  EXPECT_EQ(SortedLines(runs[0].err), SortedLines(runs[1].err));
  EXPECT_EQ(SortedLines(runs[0].err).size(), 6u) << runs[0].err;
  EXPECT_EQ(runs[0].exitCode, 2);
  EXPECT_EQ(runs[1].exitCode, 2);
  EXPECT_EQ(left[0], left[1]);
}

}  // namespace
}  // namespace kelvane
