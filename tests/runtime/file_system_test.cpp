#include "runtime/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/support.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(PassesFilterTest, LowByteAllowsSecondByteRequires) {
  const struct {
    std::uint8_t attributes;
    std::uint32_t mask;
    bool passes;
  } cases[] = {
      {0x00, 0x37, true},   {0x01, 0x37, true},      {0x02, 0x37, true},    {0x04, 0x37, true},
      {0x10, 0x37, true},   {0x20, 0x37, true},      {0x08, 0x37, false},   {0x18, 0x37, false},
      {0x08, 0x3F, true},   {0x01, 0x00, true},      {0x40, 0x00, true},    {0x02, 0x00, false},
      {0x10, 0x1037, true}, {0x00, 0x1037, false},   {0x20, 0x1037, false}, {0x10, 0x27, false},
      {0x10, 0x1000, true}, {0x10, 0xFF0000, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PassesFilter(c.attributes, c.mask), c.passes)
        << std::hex << "attributes " << int{c.attributes} << " mask " << c.mask;
}

std::map<std::string, std::uint8_t> SearchAll(const std::string& path, std::uint32_t mask) {
  Directory dir;
  EXPECT_TRUE(OpenDirectory(path, dir).ok());
  std::map<std::string, std::uint8_t> found;
  SearchEntry entry;
  for (SearchFirst(dir, mask, entry); SearchStatus.ok(); SearchNext(dir, entry))
    found[entry.Name] = entry.Attributes;
  EXPECT_EQ(SearchStatus.outcome, Outcome::NoMoreEntries);
  SearchClose(dir);
  EXPECT_TRUE(SearchStatus.ok());
  return found;
}

TEST(SearchTest, YieldsEveryEntryWithItsDirectoryBit) {
  TempDir tmp;
  testing::WriteFile(tmp / "20010101.zip");
  testing::WriteFile(tmp / ".hidden");
  testing::MakeDirectory(tmp / "sub");
  // Windows adds bits of its own (archive, hidden for a dot name).
  std::map<std::string, std::uint8_t> found;
  for (const auto& [name, attributes] : SearchAll(tmp.path(), SearchAnyEntry))
    found[name] = attributes & AttrDirectory;
  const std::map<std::string, std::uint8_t> expected = {{".", AttrDirectory},
                                                        {"..", AttrDirectory},
                                                        {".hidden", 0},
                                                        {"20010101.zip", 0},
                                                        {"sub", AttrDirectory}};
  EXPECT_EQ(found, expected);
  EXPECT_EQ(SearchAll(tmp.path(), 0x1037).size(), 3u) << "only directories";
  EXPECT_EQ(SearchAll(tmp.path(), 0x27).size(), 2u) << "no directories";
}

TEST(SearchTest, ALinkToADirectoryIsNotADirectory) {
  if (!testing::HavePosix()) GTEST_SKIP() << "symbolic links need POSIX";
  TempDir tmp;
  testing::MakeDirectory(tmp / "target");
  fs::create_directory_symlink(tmp / "target", tmp / "link");
  EXPECT_EQ(SearchAll(tmp.path(), SearchAnyEntry).at("link"), 0);
}

TEST(SearchTest, ReadsLargeDirectoriesInFull) {
  TempDir tmp;
  for (int i = 0; i < 3000; ++i) testing::WriteFile(tmp / std::to_string(i));
  EXPECT_EQ(SearchAll(tmp.path(), SearchAnyEntry).size(), 3002u);
}

TEST(SearchTest, GoesOnAfterTheFoundEntryWasRemoved) {
  TempDir tmp;
  for (int i = 0; i < 50; ++i) testing::WriteFile(tmp / std::to_string(i));
  Directory dir;
  ASSERT_TRUE(OpenDirectory(tmp.path(), dir).ok());
  SearchEntry entry;
  int seen = 0;
  for (SearchFirst(dir, SearchAnyEntry, entry); SearchStatus.ok(); SearchNext(dir, entry)) {
    if (entry.Name[0] == '.') continue;
    ++seen;
    ASSERT_TRUE(EraseFile(dir, entry.Name).ok());
  }
  EXPECT_EQ(seen, 50);
  EXPECT_TRUE(testing::Names(tmp.path()).empty());
}

TEST(EntryOperationsTest, ReportWhatTheyMet) {
  TempDir tmp;
  testing::WriteFile(tmp / "file");
  testing::MakeDirectory(tmp / "dir");
  Directory top;
  ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
  Directory child;
  EXPECT_EQ(EraseFile(top, "missing").outcome, Outcome::Gone);
  EXPECT_EQ(RemoveDirectory(top, "missing").outcome, Outcome::Gone);
  EXPECT_EQ(OpenSubdirectory(top, "missing", child).outcome, Outcome::Gone);
  EXPECT_EQ(OpenSubdirectory(top, "file", child).outcome, Outcome::NotDirectory);
  EXPECT_EQ(OpenDirectory(tmp / "file", child).outcome, Outcome::NotDirectory);
  EXPECT_EQ(EraseFile(top, "dir").outcome, Outcome::IsDirectory);
  EXPECT_FALSE(child.IsOpen());
  EXPECT_TRUE(EraseFile(top, "file").ok());
  EXPECT_TRUE(RemoveDirectory(top, "dir").ok());
  EXPECT_TRUE(testing::Names(tmp.path()).empty());
  EXPECT_FALSE(EntryExists(tmp / "file"));
  EXPECT_TRUE(EntryExists(tmp.path()));
  EXPECT_FALSE(EntryExists(""));
}

TEST(EntryOperationsTest, ASubdirectoryIsOpenedOnlyWithoutFollowingALink) {
  if (!testing::HavePosix()) GTEST_SKIP() << "symbolic links need POSIX";
  TempDir tmp;
  testing::MakeDirectory(tmp / "target");
  fs::create_directory_symlink(tmp / "target", tmp / "link");
  Directory top, child;
  ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
  EXPECT_EQ(OpenSubdirectory(top, "link", child).outcome, Outcome::NotDirectory);
  EXPECT_TRUE(OpenDirectory(tmp / "link", child).ok()) << "the archive itself may be a link";
}

TEST(EntryOperationsTest, ADirectoryToBeEmptiedIsOpenedUpToItsOwner) {
  if (!testing::HavePosix()) GTEST_SKIP() << "modes need POSIX";
  TempDir tmp;
  for (const fs::perms mode : {fs::perms::none, fs::perms::owner_read | fs::perms::owner_exec}) {
    testing::MakeDirectory(tmp / "locked");
    testing::WriteFile(tmp / "locked/file");
    fs::permissions(tmp / "locked", mode);
    Directory top, child;
    ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
    ASSERT_TRUE(OpenSubdirectory(top, "locked", child).ok());
    EXPECT_TRUE(EraseFile(child, "file").ok());
    EXPECT_TRUE(RemoveDirectory(top, "locked").ok());
  }
}

TEST(EntryOperationsTest, AParentIsOpenedAgainOnlyWhenItIsTheOneExpected) {
  TempDir tmp;
  testing::MakeDirectory(tmp / "a");
  Directory top, child, parent;
  ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
  ASSERT_TRUE(OpenSubdirectory(top, "a", child).ok());
  ASSERT_TRUE(IdentifyDirectory(top).ok());
  ASSERT_TRUE(IdentifyDirectory(child).ok());
  EXPECT_NE(child.id, top.id);
  ASSERT_TRUE(OpenParent(child, top.id, parent).ok());
  EXPECT_EQ(parent.id, top.id);
  EXPECT_EQ(OpenParent(child, child.id, parent).outcome, Outcome::Moved);
}

}  // namespace
}  // namespace kelvane
