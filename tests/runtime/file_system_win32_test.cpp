#include "runtime/file_system_win32.h"

#include <gtest/gtest.h>

#include "expiry/tree_removal.h"
#include "support/support.h"

namespace kelvane {
namespace {

using testing::Names;
using testing::TempDir;

AttributeQuery systemQuery = nullptr;

// Shows a directory named "junction" as a junction, one named "cloud" as
// a cloud-file placeholder; both are plain directories on disk.
Status MarkReparsePoints(HANDLE entry, FILE_ATTRIBUTE_TAG_INFO& info) {
  const Status status = systemQuery(entry, info);
  alignas(8) unsigned char buffer[sizeof(FILE_NAME_INFO) + 2 * MAX_PATH * sizeof(WCHAR)];
  if (!GetFileInformationByHandleEx(entry, FileNameInfo, buffer, sizeof buffer)) return status;
  const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
  const std::wstring_view path(name->FileName, name->FileNameLength / sizeof(WCHAR));
  for (const auto& [last, tag] :
       {std::pair(L"\\junction", IO_REPARSE_TAG_MOUNT_POINT), std::pair(L"\\cloud", IO_REPARSE_TAG_CLOUD)}) {
    if (!path.ends_with(last)) continue;
    info.FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    info.ReparseTag = static_cast<DWORD>(tag);
  }
  return status;
}

class MarkedReparsePoints {
 public:
  MarkedReparsePoints() {
    systemQuery = QueryAttributes;
    QueryAttributes = MarkReparsePoints;
  }
  ~MarkedReparsePoints() { QueryAttributes = systemQuery; }
};

// Wine can make neither: the marks show that a junction is never entered
// but erased as a link, which a real junction allows and a directory with
// contents refuses, so this one stays whole; a cloud placeholder is a
// directory like any other.
TEST(ReparsePointTest, OnlyALinkingReparsePointIsNeverEntered) {
  TempDir tmp;
  for (const char* name : {"20010101", "20010101\\junction", "20010101\\cloud"})
    testing::MakeDirectory(tmp / name);
  for (const char* name : {"20010101\\junction\\inside", "20010101\\cloud\\inside", "20010101\\file"})
    testing::WriteFile(tmp / name);
  Directory top;
  ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
  bool clean = true;
  {
    const MarkedReparsePoints marked;
    RemovalCrew crew;
    clean = RemoveTree(crew, top, tmp.path() + "\\", "20010101", AttrDirectory);
  }
  EXPECT_FALSE(clean);
  EXPECT_EQ(Names(tmp / "20010101"), std::vector<std::string>{"junction"});
  EXPECT_EQ(Names(tmp / "20010101\\junction"), std::vector<std::string>{"inside"});
}

// An account may be allowed to delete an entry (DELETE on it, or
// FILE_DELETE_CHILD on its directory) and not to change its attributes.
NTSTATUS NTAPI RefuseAttributeChanges(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                      PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG fileAttributes,
                                      ULONG share, ULONG disposition, ULONG options, PVOID ea, ULONG eaSize) {
  constexpr auto AccessDenied = static_cast<NTSTATUS>(0xC0000022);
  if (access & FILE_WRITE_ATTRIBUTES) return AccessDenied;
  return NtCreateFile(handle, access, attributes, io, size, fileAttributes, share, disposition, options, ea,
                      eaSize);
}

TEST(EntryOperationsWin32Test, APlainEntryGoesWithoutTheRightToChangeAttributes) {
  TempDir tmp;
  testing::WriteFile(tmp / "20010101.zip");
  Directory top;
  ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
  CreateEntryCall = RefuseAttributeChanges;
  const Status erased = EraseFile(top, "20010101.zip");
  CreateEntryCall = NtCreateFile;
  EXPECT_TRUE(erased.ok()) << ErrorText(erased);
  EXPECT_TRUE(Names(tmp.path()).empty());
}

// Someone else's removal of the entry is pending: a Win32 call answers
// "access denied", and keeps the NT status beside it as Windows does.
BOOL WINAPI AnswerDeletePending(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  SetLastError(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0000056)));
  return FALSE;
}

TEST(EntryOperationsWin32Test, AnEntryAlreadyBeingRemovedCountsAsGone) {
  TempDir tmp;
  testing::WriteFile(tmp / "20010101.zip");
  Directory top;
  ASSERT_TRUE(OpenDirectory(tmp.path(), top).ok());
  SetInformationCall = AnswerDeletePending;
  const Status erased = EraseFile(top, "20010101.zip");
  SetInformationCall = SetFileInformationByHandle;
  EXPECT_EQ(erased.outcome, Outcome::Gone) << ErrorText(erased);
}

}  // namespace
}  // namespace kelvane
