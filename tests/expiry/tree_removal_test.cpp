#include "expiry/tree_removal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/support.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using testing::Exists;
using testing::MakeDirectory;
using testing::TempDir;
using testing::WriteFile;

class TreeRemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDirectory(tmp / "archive");
    MakeDirectory(tmp / "outside");
    WriteFile(tmp / "outside/canary", "keep me");
  }

  bool Remove(const std::string& name) {
    Directory archive;
    EXPECT_TRUE(OpenDirectory(tmp / "archive", archive).ok());
    SearchEntry entry;
    for (SearchFirst(archive, SearchAnyEntry, entry); SearchStatus.ok(); SearchNext(archive, entry))
      if (entry.Name == name) return RemoveTree(crew, archive, tmp / "archive/", name, entry.Attributes);
    ADD_FAILURE() << name << " not found";
    return false;
  }

  void ExpectOutsideUntouched() {
    EXPECT_EQ(testing::ReadFile(tmp / "outside/canary"), "keep me");
    EXPECT_EQ(testing::Names(tmp / "outside"), std::vector<std::string>{"canary"});
  }

  TempDir tmp;
  RemovalCrew crew;
};

TEST_F(TreeRemovalTest, RemovesAFileOrAWholeTree) {
  WriteFile(tmp / "archive/20010101.zip");
  MakeDirectory(tmp / "archive/20010102");
  MakeDirectory(tmp / "archive/20010102/empty");
  MakeDirectory(tmp / "archive/20010102/a");
  MakeDirectory(tmp / "archive/20010102/a/b");
  WriteFile(tmp / "archive/20010102/a/.hidden");
  WriteFile(tmp / "archive/20010102/a/b/readonly");
  fs::permissions(tmp / "archive/20010102/a/b/readonly", fs::perms::owner_read);
  MakeDirectory(tmp / "archive/20010103");
  WriteFile(tmp / "archive/sibling");

  EXPECT_TRUE(Remove("20010101.zip"));
  EXPECT_TRUE(Remove("20010102"));
  EXPECT_TRUE(Remove("20010103"));
  EXPECT_EQ(testing::Names(tmp / "archive"), std::vector<std::string>{"sibling"});
}

TEST_F(TreeRemovalTest, EmptiesDirectoriesWhoseModesRefuseIt) {
  if (!testing::HavePosix()) GTEST_SKIP() << "modes need POSIX";
  MakeDirectory(tmp / "archive/20010101");
  MakeDirectory(tmp / "archive/20010101/r-x");
  MakeDirectory(tmp / "archive/20010101/none");
  WriteFile(tmp / "archive/20010101/r-x/file");
  WriteFile(tmp / "archive/20010101/none/file");
  fs::permissions(tmp / "archive/20010101/r-x", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(tmp / "archive/20010101/none", fs::perms::none);
  fs::permissions(tmp / "archive/20010101", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_TRUE(Remove("20010101"));
  EXPECT_FALSE(Exists(tmp / "archive/20010101"));
}

TEST_F(TreeRemovalTest, RemovesLinksAndNeverWhatTheyPointTo) {
  if (!testing::HavePosix()) GTEST_SKIP() << "symbolic links need POSIX";
  MakeDirectory(tmp / "archive/20010101");
  fs::create_directory_symlink(tmp / "outside", tmp / "archive/20010101/dirlink");
  fs::create_symlink(tmp / "outside/canary", tmp / "archive/20010101/filelink");
  fs::create_symlink("dangling", tmp / "archive/20010101/dangling");
  fs::create_directory_symlink(tmp / "outside", tmp / "archive/20010102");
  EXPECT_TRUE(Remove("20010101"));
  EXPECT_TRUE(Remove("20010102"));
  EXPECT_TRUE(testing::Names(tmp / "archive").empty());
  ExpectOutsideUntouched();
}

TEST_F(TreeRemovalTest, NamesAreNeverPatterns) {
  if (!testing::HavePosix()) GTEST_SKIP() << "Windows names cannot hold '*', '?' or bytes that are no text";
  const std::string odd = std::string("1***0101") + "\xff\xfe";
  WriteFile(tmp / ("archive/" + odd));
  WriteFile(tmp / "archive/1important-data-0101");
  MakeDirectory(tmp / "archive/[2001]0101");
  WriteFile(tmp / "archive/[2001]0101/?");
  WriteFile(tmp / "archive/[2001]0101/*");
  WriteFile(tmp / "archive/20010101");
  EXPECT_TRUE(Remove(odd));
  EXPECT_TRUE(Remove("[2001]0101"));
  EXPECT_EQ(testing::Names(tmp / "archive"), (std::vector<std::string>{"1important-data-0101", "20010101"}));
}

// Deeper than the window of open ancestors, with entries at every level on
// both sides of each subdirectory, so that directories opened again are
// read again from their start.
TEST_F(TreeRemovalTest, RemovesWideTreesDeeperThanTheOpenWindow) {
  std::string dir = tmp / "archive/20010101";
  MakeDirectory(dir);
  for (int level = 0; level < 12; ++level) {
    for (const char* name : {"a", "m", "z"}) WriteFile(dir + "/" + name);
    MakeDirectory(dir + "/side");
    WriteFile(dir + "/side/file");
    dir += "/n";
    MakeDirectory(dir);
  }
  EXPECT_TRUE(Remove("20010101"));
  EXPECT_TRUE(testing::Names(tmp / "archive").empty());
}

TEST_F(TreeRemovalTest, RemovesPathsLongerThanThePlatformAllows) {
  // 6,000 bytes of path against PATH_MAX; 300 against Windows's MAX_PATH,
  // where Wine's time for an open grows with the depth.
  const int depth = testing::HavePosix() ? 3000 : 150;
  MakeDirectory(tmp / "archive/20010101");
  testing::MakeChain(tmp / "archive/20010101", depth);
  EXPECT_TRUE(Remove("20010101"));
  EXPECT_TRUE(testing::Names(tmp / "archive").empty());
}

}  // namespace
}  // namespace kelvane
