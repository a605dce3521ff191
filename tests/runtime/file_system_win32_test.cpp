// What Windows does and Wine cannot show, answered for the system through
// the backend's seams: one row each, removing the entry 20010101 (or
// 20010101.zip) in this process.
#include "runtime/file_system_win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "expiry/tree_removal.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using Held = std::shared_ptr<void>;

// Answers for the system through `call` until the hold is let go of, and
// holds `also`, so that answers combine.
template <typename Call>
Held Answer(Call& call, Call answer, Held also = nullptr) {
  const Call system = std::exchange(call, answer);
  return Held(nullptr, [&call, system, also](void*) { call = system; });
}

// Wine can make neither a junction nor a cloud placeholder: the seam shows
// plain directories of these names as such.
AttributeQuery systemQuery = QueryAttributes;
Status MarkReparsePoints(HANDLE entry, FILE_ATTRIBUTE_TAG_INFO& info) {
  const Status status = systemQuery(entry, info);
  WCHAR path[MAX_PATH];
  const std::wstring_view name(path, GetFinalPathNameByHandleW(entry, path, MAX_PATH, 0));
  info.FileAttributes |=
      name.ends_with(L"junction") || name.ends_with(L"cloud") ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
  info.ReparseTag = name.ends_with(L"junction") ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_CLOUD;
  return status;
}

// An account may be allowed to delete an entry and not to change its
// attributes.
template <typename... Rest>
NTSTATUS NTAPI RefuseAttributes(PHANDLE handle, ACCESS_MASK access, Rest... rest) {
  return access & FILE_WRITE_ATTRIBUTES ? static_cast<NTSTATUS>(0xC0000022)
                                        : NtCreateFile(handle, access, rest...);
}

// Someone else's removal is pending: Windows answers "access denied" and
// keeps the NT status beside it.
BOOL WINAPI AnswerDeletePending(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  return SetLastError(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0000056))), FALSE;
}

// A file in use that its system would remove only with POSIX semantics,
// which it lacks: a program running from it, say.
BOOL WINAPI RefuseRemoval(HANDLE entry, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
  if (kind == FileBasicInfo) return SetFileInformationByHandle(entry, kind, info, size);
  return SetLastError(kind == FileDispositionInfo ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER), FALSE;
}

// Some redirectors and file-system drivers list no file ids.
template <typename... Rest>
NTSTATUS NTAPI RefuseFileIds(HANDLE dir, HANDLE event, PIO_APC_ROUTINE apc, PVOID context,
                             PIO_STATUS_BLOCK io, PVOID buffer, ULONG size, FILE_INFORMATION_CLASS kind,
                             Rest... rest) {
  return kind == FileIdBothDirectoryInformation
             ? static_cast<NTSTATUS>(0xC0000003)  // STATUS_INVALID_INFO_CLASS
             : NtQueryDirectoryFile(dir, event, apc, context, io, buffer, size, kind, rest...);
}

// A file system that does not give names back, not one whose names are too long.
NTSTATUS NTAPI RefuseNames(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG) {
  return static_cast<NTSTATUS>(0xC0000010);  // STATUS_INVALID_DEVICE_REQUEST
}

// Every entry below `root`, a directory ending in '/', sorted.
std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    tree.push_back(fs::relative(entry.path(), root).generic_string() + (entry.is_directory() ? "/" : ""));
  std::sort(tree.begin(), tree.end());
  return tree;
}

TEST(WindowsSeamTest, Rows) {
  const struct {
    const char* what;
    std::vector<std::string> tree;  // a name ending in '/' is a directory
    std::function<Held(const fs::path& archive)> answer;
    bool clean;
    std::vector<std::string> left;
  } rows[] = {
      // clang-format off
      {"only a linking reparse point is never entered",
       {"20010101/", "20010101/junction/", "20010101/junction/in", "20010101/cloud/", "20010101/cloud/in", "20010101/f"},
       [](const fs::path&) { return Answer(QueryAttributes, MarkReparsePoints); },
       false, {"20010101/", "20010101/junction/", "20010101/junction/in"}},
      {"plain, hidden and system entries go without the right to change attributes",
       {"20010101/", "20010101/plain", "20010101/hidden/", "20010101/hidden/system"}, [](const fs::path& a) {
         SetFileAttributesW((a / "20010101/hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
         SetFileAttributesW((a / "20010101/hidden/system").c_str(), FILE_ATTRIBUTE_SYSTEM);
         return Answer(CreateEntryCall, RefuseAttributes);
       }, true, {}},
      {"an entry that stays keeps its attributes", {"20010101.zip"}, [](const fs::path& a) {
         const fs::path zip = a / "20010101.zip";
         SetFileAttributesW(zip.c_str(), 7);  // read-only, hidden and system
         return Answer(SetInformationCall, RefuseRemoval,
                       Held(nullptr, [zip](void*) { EXPECT_EQ(GetFileAttributesW(zip.c_str()) & 7, 7u); }));
       }, false, {"20010101.zip"}},
      {"a listing without file ids", {"20010101/", "20010101/d/", "20010101/d/f", "20010101/f"},
       [](const fs::path&) { return Answer(ListDirectoryCall, RefuseFileIds); }, true, {}},
      {"an entry already being removed counts as gone", {"20010101.zip"},
       [](const fs::path&) { return Answer(SetInformationCall, AnswerDeletePending); }, true, {"20010101.zip"}},
      // clang-format on
  };
  const fs::path archive =
      fs::temp_directory_path() / ("kelvane-seams-" + std::to_string(GetCurrentProcessId()));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::create_directory(archive);
    for (const std::string& entry : row.tree)
      entry.ends_with('/') ? void(fs::create_directory(archive / entry))
                           : void(std::ofstream(archive / entry));
    Directory top;
    RemovalCrew crew;
    const std::string name = row.tree[0].substr(0, row.tree[0].find('/'));
    Held answer = row.answer(archive);
    ASSERT_TRUE(OpenDirectory(archive.string(), top).ok());
    EXPECT_EQ(
        RemoveTree(crew, top, archive.string() + "\\", name, row.tree[0].ends_with('/') ? AttrDirectory : 0),
        row.clean);
    answer.reset();
    top.Close();
    EXPECT_EQ(Tree(archive), row.left);
    for (const auto& entry : fs::recursive_directory_iterator(archive))
      SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(archive);
  }
  // A name that is not given back is reported with its cause.
  fs::create_directory(archive);
  std::ofstream(archive / "f").close();
  Directory dir;
  ASSERT_TRUE(OpenDirectory(archive.string(), dir).ok());
  Held answer = Answer(NameQueryCall, RefuseNames);
  EXPECT_EQ(EraseFile(dir, "f").native, ERROR_INVALID_FUNCTION);
  answer.reset();
  dir.Close();
  fs::remove_all(archive);
}

}  // namespace
}  // namespace kelvane
