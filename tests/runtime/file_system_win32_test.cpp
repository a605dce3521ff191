#include "runtime/file_system_win32.h"

#include <gtest/gtest.h>

#include "expiry/tree_removal.h"
#include "support/support.h"

namespace kelvane {
namespace {

using testing::Names;
using testing::TempDir;

AttributeQuery systemQuery = nullptr;

// Shows every directory named "junction" as a reparse point.
Status MarkJunctions(HANDLE entry, DWORD& attributes) {
  const Status status = systemQuery(entry, attributes);
  alignas(8) unsigned char buffer[sizeof(FILE_NAME_INFO) + 2 * MAX_PATH * sizeof(WCHAR)];
  const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
  if (GetFileInformationByHandleEx(entry, FileNameInfo, buffer, sizeof buffer) &&
      std::wstring_view(name->FileName, name->FileNameLength / sizeof(WCHAR)).ends_with(L"\\junction"))
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return status;
}

class MarkedJunctions {
 public:
  MarkedJunctions() {
    systemQuery = QueryAttributes;
    QueryAttributes = MarkJunctions;
  }
  ~MarkedJunctions() { QueryAttributes = systemQuery; }
};

// Wine cannot make a junction: a plain directory marked as one shows that
// the removal never enters it and erases it as a link. A real junction
// goes that way; a directory with contents refuses, and stays whole.
TEST(ReparsePointTest, ADirectoryWhoseHandleShowsAReparsePointIsNeverEntered) {
  TempDir tmp;
  testing::MakeDirectory(tmp / "20010101");
  testing::MakeDirectory(tmp / "20010101\\junction");
  testing::WriteFile(tmp / "20010101\\junction\\inside");
  testing::WriteFile(tmp / "20010101\\file");
  Directory top;
  ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
  bool clean = true;
  {
    const MarkedJunctions marked;
    clean = RemoveTree(top, tmp.path() + "\\", "20010101", AttrDirectory);
  }
  EXPECT_FALSE(clean);
  EXPECT_EQ(Names(tmp / "20010101"), std::vector<std::string>{"junction"});
  EXPECT_EQ(Names(tmp / "20010101\\junction"), std::vector<std::string>{"inside"});
}

}  // namespace
}  // namespace kelvane
