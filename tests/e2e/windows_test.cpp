// What only Windows has, checked on the built kelvane.exe: command lines as
// Windows hands them over, attribute bits, files in use, names in any
// language, paths beyond MAX_PATH, and links of both kinds.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>
#undef RemoveDirectory

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "runtime/file_system.h"
#include "runtime/wide_text.h"
#include "support/dates.h"
#include "support/output.h"
#include "support/support.h"
#include "support/windows.h"

namespace kelvane {
namespace {

using testing::DateDaysAgo;
using testing::Lines;
using testing::MakeDirectory;
using testing::Names;
using testing::Report;
using testing::RunKelvane;
using testing::RunKelvaneCommandLine;
using testing::RunResult;
using testing::SortedLines;
using testing::TempDir;
using testing::Usage;

class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirectory(archive);
    MakeDirectory(tmp / "outside");
    testing::WriteFile(tmp / "outside\\canary", "keep me");
  }

  std::string At(const std::string& name) const { return archive + "\\" + name; }

  void ExpectOutsideUntouched() {
    EXPECT_EQ(testing::ReadFile(tmp / "outside\\canary"), "keep me");
    EXPECT_EQ(Names(tmp / "outside"), std::vector<std::string>{"canary"});
  }

  TempDir tmp;
  const std::string archive = tmp / "archive";
};

// Two entries, 35 and 41 days old, tell the limit that the run read: 40
// removes one, 30 both.
TEST_F(WindowsTest, CommandLinesAreSplitAsTheToolSplitsThem) {
  const std::string spaced = tmp / "My Archive";
  MakeDirectory(spaced);
  const std::string young = DateDaysAgo(35), old = DateDaysAgo(41);
  const std::vector<std::string> limit40 = {Report(old, 41, false)};
  const std::vector<std::string> limit30 = {Report(old, 41, false), Report(young, 35, false)};
  const struct {
    std::string arguments;
    std::string dir;
    std::vector<std::string> lines;
  } cases[] = {
      {" \"\" " + archive, archive, limit40},
      {" " + archive + " \"\" 30", archive, limit30},
      {" " + archive + "\t30", archive, limit30},
      {" " + archive + " \"", archive, limit40},
      {" \"" + spaced + "\" 30", spaced, limit30},
      {" " + tmp.path() + "\\\"My Archive\"\\ 30", spaced, limit30},
      {" " + archive + " 30" + std::string(298, 'x'), archive, limit30},
  };
  for (const auto& c : cases) {
    testing::WriteFile(c.dir + "\\" + young);
    testing::WriteFile(c.dir + "\\" + old);
    const RunResult run = RunKelvaneCommandLine(c.arguments);
    EXPECT_EQ(SortedLines(run.out), c.lines) << c.arguments;
    EXPECT_EQ(run.exitCode, 0) << c.arguments;
    for (const std::string& name : Names(c.dir)) DeleteFileW(WideText<wchar_t>(c.dir + "\\" + name).c_str());
  }
  EXPECT_EQ(RunKelvaneCommandLine(" \"\"").out, Usage);
  const std::string tooLong(300, 'a');
  EXPECT_EQ(RunKelvaneCommandLine(" " + tooLong + " 30").out,
            Lines({"Path " + tooLong.substr(0, 255) + "\\ is not a valid path"}));
}

TEST_F(WindowsTest, ReadOnlyHiddenAndSystemEntriesGoLikeAnyOther) {
  const DWORD all = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const std::map<std::string, DWORD> files = {
      {"20010101\\readonly", FILE_ATTRIBUTE_READONLY},
      {"20010101\\hidden", FILE_ATTRIBUTE_HIDDEN},
      {"20010101\\system", FILE_ATTRIBUTE_SYSTEM},
      {"20010101\\inner\\all", all},
      {"20010102.zip", all},
      {"20010103\\file", FILE_ATTRIBUTE_READONLY},
  };
  const std::map<std::string, DWORD> directories = {
      {"20010101", 0},
      {"20010101\\inner", all},
      {"20010103", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN}};
  for (const auto& [name, bits] : directories) MakeDirectory(At(name));
  for (const auto& [name, bits] : files) testing::WriteFile(At(name));
  for (const auto& [name, bits] : files) testing::SetAttributes(At(name), bits);
  for (const auto& [name, bits] : directories)
    if (bits != 0) testing::SetAttributes(At(name), bits | FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_EQ(testing::Attributes(At("20010101\\inner\\all")) & all, all) << "the bits did not stick";

  const RunResult run = RunKelvane({archive});
  const int today = testing::TodayNumber();
  EXPECT_EQ(SortedLines(run.out), (std::vector<std::string>{Report("20010102.zip", today - 11325, false),
                                                            Report("20010101", today - 11324, true),
                                                            Report("20010103", today - 11326, true)}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Names(archive).empty());
}

TEST_F(WindowsTest, SearchReportsTheAttributeBits) {
  testing::WriteFile(At("plain"));
  testing::WriteFile(At("marked"));
  testing::SetAttributes(At("marked"),
                         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeDirectory(At("dir"));
  testing::SetAttributes(At("dir"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  Directory dir;
  ASSERT_TRUE(OpenDirectory(archive, dir).ok());
  std::map<std::string, std::uint8_t> found;
  SearchEntry entry;
  for (SearchFirst(dir, SearchAnyEntry, entry); SearchStatus.ok(); SearchNext(dir, entry))
    found[entry.Name] = entry.Attributes & (AttrReadOnly | AttrHidden | AttrSystem | AttrDirectory);
  const std::map<std::string, std::uint8_t> expected = {{".", AttrDirectory},
                                                        {"..", AttrDirectory},
                                                        {"dir", AttrDirectory | AttrHidden},
                                                        {"marked", AttrReadOnly | AttrHidden | AttrSystem},
                                                        {"plain", 0}};
  EXPECT_EQ(found, expected);
  testing::SetAttributes(At("marked"), FILE_ATTRIBUTE_NORMAL);
}

// The test process holds the file open without sharing its deletion, as a
// program that uses it would.
TEST_F(WindowsTest, AFileInUseStaysWithTheDirectoriesAboveIt) {
  for (const char* name : {"20010101", "20010101\\a", "20010101\\b"}) MakeDirectory(At(name));
  for (const char* name :
       {"20010101\\a\\held", "20010101\\a\\other", "20010101\\b\\file", "20010101\\top", "20010102.zip"})
    testing::WriteFile(At(name));
  const std::string held = At("20010101\\a\\held");
  const HANDLE holder = CreateFileW(WideText<wchar_t>(held).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const RunResult run = RunKelvane({archive});
  CloseHandle(holder);

  const int today = testing::TodayNumber();
  EXPECT_EQ(SortedLines(run.out), (std::vector<std::string>{Report("20010102.zip", today - 11325, false),
                                                            Report("20010101", today - 11324, true)}));
  EXPECT_EQ(run.err, Lines({"kelvane: cannot remove " + held + ": " +
                            ErrorText({Outcome::Failed, ERROR_SHARING_VIOLATION})}));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(Names(archive), std::vector<std::string>{"20010101"});
  EXPECT_EQ(Names(At("20010101")), std::vector<std::string>{"a"});
  EXPECT_EQ(Names(At("20010101\\a")), std::vector<std::string>{"held"});
}

// Another program has asked for the file's removal and still holds it:
// the name stays until it lets go, and the removal is as good as done.
TEST_F(WindowsTest, AFileWhoseRemovalIsPendingCountsAsRemoved) {
  testing::WriteFile(At("20010101.zip"));
  const HANDLE holder =
      CreateFileW(WideText<wchar_t>(At("20010101.zip")).c_str(), DELETE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  ASSERT_TRUE(SetFileInformationByHandle(holder, FileDispositionInfo, &disposition, sizeof disposition));
  const RunResult run = RunKelvane({archive});
  CloseHandle(holder);
  EXPECT_EQ(run.out, Lines({Report("20010101.zip", testing::TodayNumber() - 11324, false)}));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Names(archive).empty());
}

// Names come back from Windows in UTF-16 and are removed by exactly that
// name; written to a file by a run without a console, the report shows
// them in the OEM code page.
TEST_F(WindowsTest, NamesInAnyLanguageAreRemovedAndShownInTheOemCodePage) {
  if (GetOEMCP() != 437) GTEST_SKIP() << "the expected bytes are those of code page 437";
  testing::WriteFile(At("20010101 caf\u00e9"));
  MakeDirectory(At("20010102 \u00fcber"));
  testing::WriteFile(At("20010102 \u00fcber\\na\u00efve \u65e5\u672c.txt"));
  testing::WriteFile(At("20010103 \u65e5\u672c\u8a9e"));
  // The 128-byte buffer of standard output fills in the middle of the é.
  const std::string straddling = "20010104" + std::string(119, 'x');
  testing::WriteFile(At(straddling + "\u00e9"));
  testing::WriteFile(At("notes \u00e9"));
  const RunResult run = RunKelvane({archive});
  const int today = testing::TodayNumber();
  EXPECT_EQ(SortedLines(run.out), (std::vector<std::string>{Report("20010101 caf\x82", today - 11324, false),
                                                            Report("20010103 ???", today - 11326, false),
                                                            Report(straddling + "\x82", today - 11327, false),
                                                            Report("20010102 \x81"
                                                                   "ber",
                                                                   today - 11325, true)}));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(Names(archive), std::vector<std::string>{"notes \u00e9"});

  EXPECT_EQ(RunKelvane({tmp / "nosuch\u00e9"}).out,
            Lines({"Path " + tmp.path() + "\\nosuch\x82\\ is not a valid path"}));
}

TEST_F(WindowsTest, PathsBeyondMaxPathAreRemoved) {
  MakeDirectory(At("20010101"));
  testing::MakeChain(At("20010101"), 150);
  std::string deepest = At("20010101");
  for (int level = 0; level < 150; ++level) deepest += "\\d";
  testing::WriteFile(deepest + "\\file");
  ASSERT_GT(deepest.size(), std::size_t{MAX_PATH});
  const RunResult run = RunKelvane({archive});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Names(archive).empty());
}

// Wine keeps every open entry by its Unix path, which Linux cuts at 4,096
// bytes: beyond that it can neither name nor remove an entry. Two chains of
// 20 levels of 250 bytes reach far beyond; one ends in a file.
TEST_F(WindowsTest, WhatWineCannotNameIsReportedAsTooLong) {
  if (!testing::UnderWine()) GTEST_SKIP() << "only Wine names entries by their Unix paths";
  const std::string level(250, 'd');
  const std::string down = "for i in $(seq 20); do mkdir " + level + " && cd -P " + level + "; done";
  testing::RunUnixShell(archive,
                        "mkdir -p new/a new/b && (cd new/a && " + down + " && : >f) && (cd new/b && " + down +
                            ") && mv new 20010101",
                        At("20010101"));
  const RunResult run = RunKelvane({archive});
  testing::RunUnixShell(archive, "rm -rf 20010101", At("20010101"), false);
  std::string file = At("20010101\\a"), dir = At("20010101\\b");
  for (int i = 0; i < 20; ++i) file += "\\" + level;
  for (int i = 0; i < 19; ++i) dir += "\\" + level;
  const std::string reason = ": " + ErrorText({Outcome::Failed, ERROR_FILENAME_EXCED_RANGE});
  EXPECT_EQ(SortedLines(run.err), (std::vector<std::string>{"kelvane: cannot remove " + file + "\\f" + reason,
                                                            "kelvane: cannot remove " + dir + reason}));
  EXPECT_EQ(run.exitCode, 2);
}

// A junction to `target` at `link`, made as Windows's own tools make one;
// false where the system cannot.
bool MakeJunction(const std::string& target, const std::string& link) {
  MakeDirectory(link);
  const HANDLE handle = CreateFileW(WideText<wchar_t>(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const std::wstring substitute = L"\\??\\" + WideText<wchar_t>(target);
  const auto bytes = static_cast<WORD>(substitute.size() * sizeof(WCHAR));
  // REPARSE_DATA_BUFFER for a mount point: the tag and data length, then
  // offsets and lengths of the two names, then the names with their NULs.
  std::vector<unsigned char> data(16 + bytes + 2 * sizeof(WCHAR));
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const WORD header[] = {static_cast<WORD>(data.size() - 8), 0, 0, bytes, static_cast<WORD>(bytes + 2), 0};
  std::memcpy(data.data(), &tag, sizeof tag);
  std::memcpy(data.data() + 4, header, sizeof header);
  std::memcpy(data.data() + 16, substitute.data(), bytes);
  DWORD returned = 0;
  const bool made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(),
                                    static_cast<DWORD>(data.size()), nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  if (!made) RemoveDirectoryW(WideText<wchar_t>(link).c_str());
  return made;
}

TEST_F(WindowsTest, AJunctionIsRemovedAsALinkAndItsTargetStays) {
  MakeDirectory(At("20010101"));
  if (!MakeJunction(tmp / "outside", At("20010101\\junction")))
    GTEST_SKIP() << "this system cannot make junctions (Wine answers ERROR_NOT_SUPPORTED)";
  ASSERT_TRUE(MakeJunction(tmp / "outside", At("20010102")));
  const RunResult run = RunKelvane({archive});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Names(archive).empty());
  ExpectOutsideUntouched();
}

TEST_F(WindowsTest, ADirectorySymbolicLinkIsRemovedAsALinkAndItsTargetStays) {
  MakeDirectory(At("20010101"));
  const DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2;  // unprivileged creation, where allowed
  CreateSymbolicLinkW(WideText<wchar_t>(At("20010101\\link")).c_str(),
                      WideText<wchar_t>(tmp / "outside").c_str(), flags);
  // Wine reports success and makes nothing.
  if (!testing::Exists(At("20010101\\link"))) GTEST_SKIP() << "this system cannot make symbolic links";
  const RunResult run = RunKelvane({archive});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Names(archive).empty());
  ExpectOutsideUntouched();
}

// Wine lists a Unix link to a directory as a reparse point and one to a
// file as a plain file, but opens and removes whatever either points to.
// Neither may cost the target anything: both links stay and are reported.
TEST_F(WindowsTest, UnixLinksSeenThroughWineNeverCostTheirTargets) {
  if (!testing::UnderWine()) GTEST_SKIP() << "Unix symbolic links appear only under Wine";
  for (const char* name : {"20010101", "20010101\\sub"}) MakeDirectory(At(name));
  testing::WriteFile(At("20010101\\other"));
  const testing::UnixLink dirLink(tmp / "outside", At("20010101\\sub\\dirlink"));
  const testing::UnixLink fileLink(tmp / "outside\\canary", At("20010101\\filelink"));
  const testing::UnixLink datedLink(tmp / "outside", At("20010102"));
  const RunResult run = RunKelvane({archive});

  ExpectOutsideUntouched();
  const std::vector<std::string> kept = {At("20010101\\filelink"), At("20010101\\sub\\dirlink"),
                                         At("20010102")};
  const std::vector<std::string> lines = SortedLines(run.err);
  ASSERT_EQ(lines.size(), kept.size()) << run.err;
  for (std::size_t i = 0; i < kept.size(); ++i)
    EXPECT_EQ(lines[i].rfind("kelvane: cannot remove " + kept[i] + ": ", 0), 0u) << lines[i];
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(Names(At("20010101")), (std::vector<std::string>{"filelink", "sub"}));
}

}  // namespace
}  // namespace kelvane
