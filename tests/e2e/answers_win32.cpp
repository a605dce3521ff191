// kelvane.exe with one system call answered for, as Windows would answer
// where Wine cannot, or with a file held open ("hold PATH", "pending
// PATH"): KELVANE_ANSWER names the answer. The end-to-end table runs it
// like kelvane.exe.
#include <cstdlib>
#include <string_view>

#include "expiry/run_expiry.h"
#include "runtime/console_win32.h"
#include "runtime/file_system_seam_win32.h"
#include "runtime/process.h"
#include "runtime/wide_text.h"

namespace kelvane {
namespace {

// Wine can make neither a junction nor a cloud placeholder: plain
// directories of these names are shown as such.
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

// Refuses one disposition as Windows would: the classic one of a file in
// use that only POSIX semantics would remove (a program running from it),
// or the POSIX one of a read-only entry on Windows 10 before version 1809,
// which lacks the flag that passes over the bit.
template <int refused, ULONG status>
BOOL WINAPI Refuse(HANDLE entry, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
  if (kind == refused) return SetLastError(RtlNtStatusToDosError(static_cast<NTSTATUS>(status))), FALSE;
  return SetFileInformationByHandle(entry, kind, info, size);
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

// A faulty driver: success, and no byte said to be written.
template <typename... Rest>
NTSTATUS NTAPI AnswerNoBytes(HANDLE dir, HANDLE event, PIO_APC_ROUTINE apc, PVOID context,
                             PIO_STATUS_BLOCK io, Rest... rest) {
  const NTSTATUS status = NtQueryDirectoryFile(dir, event, apc, context, io, rest...);
  io->Information = 0;
  return status;
}

// A file system that does not give names back, not one whose names are too long.
NTSTATUS NTAPI RefuseNames(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG) {
  return static_cast<NTSTATUS>(0xC0000010);  // STATUS_INVALID_DEVICE_REQUEST
}

// Standard output is a console with code page 437, which shows what it is
// given on standard error, as UTF-8; or it is a file, and the process's
// console has code page UTF-8.
BOOL WINAPI AnswerConsoleMode(HANDLE, LPDWORD) { return TRUE; }
UINT WINAPI AnswerCodePage437() { return 437; }
UINT WINAPI AnswerCodePageUtf8() { return CP_UTF8; }
BOOL WINAPI ShowOnStandardError(HANDLE, const VOID* text, DWORD units, LPDWORD written, LPVOID) {
  char bytes[4096];
  const int size = WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t*>(text), static_cast<int>(units),
                                       bytes, sizeof bytes, nullptr, nullptr);
  *written = units;
  return WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(size), nullptr, nullptr);
}

// Holds a file open as another program would, sharing read and write, or
// with its removal pending.
void Hold(std::string_view path, bool pending) {
  const HANDLE file = CreateFileW(WideText<wchar_t>(path).c_str(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | (pending ? FILE_SHARE_DELETE : 0),
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (pending) SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

void Answer(std::string_view answer) {
  if (answer.starts_with("hold ") || answer.starts_with("pending "))
    Hold(answer.substr(answer.find(' ') + 1), answer[0] == 'p');
  if (answer == "reparse points") QueryAttributes = MarkReparsePoints;
  if (answer == "no attribute changes") CreateEntryCall = RefuseAttributes;
  if (answer == "delete pending") SetInformationCall = AnswerDeletePending;
  if (answer == "no removal") SetInformationCall = Refuse<FileDispositionInfo, 0xC0000022>;
  if (answer == "no file ids") ListDirectoryCall = RefuseFileIds;
  if (answer == "no bytes listed") ListDirectoryCall = AnswerNoBytes;
  if (answer == "no read-only flag") SetInformationCall = Refuse<21, 0xC0000121>;
  if (answer == "no names") NameQueryCall = RefuseNames;
  if (answer == "console 437") ConsoleModeCall = AnswerConsoleMode, WriteConsoleCall = ShowOnStandardError;
  ConsoleCodePageCall = answer == "console 437"     ? AnswerCodePage437
                        : answer == "console UTF-8" ? AnswerCodePageUtf8
                                                    : ConsoleCodePageCall;
}

}  // namespace
}  // namespace kelvane

int main(int argc, char** argv) {
  const char* answer = std::getenv("KELVANE_ANSWER");
  kelvane::Answer(answer != nullptr ? answer : "");
  kelvane::RunProcess(argc, argv, kelvane::RunExpiry);
}
