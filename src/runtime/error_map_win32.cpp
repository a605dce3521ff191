// Native errors as the tool takes them, and the text a user reads for one.
#include <string>
#include <string_view>

#include "runtime/file_system_internal_win32.h"
#include "runtime/wide_text.h"

namespace kelvane {

Status FromWin32(DWORD error) {
  switch (error) {
    case ERROR_NO_MORE_FILES:
      return {Outcome::NoMoreEntries, static_cast<int>(error)};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DELETE_PENDING:  // someone else is removing it already
      return {Outcome::Gone, static_cast<int>(error)};
    case ERROR_DIRECTORY:  // a directory was to be opened, and a file was met
      return {Outcome::NotDirectory, static_cast<int>(error)};
    case ERROR_WRITE_PROTECT:
      return {Outcome::ReadOnly, static_cast<int>(error)};
    default:
      return {Outcome::Failed, static_cast<int>(error)};
  }
}

// The Win32 code of a pending delete reads as "access denied", so that
// one is told apart first.
Status FromNtStatus(NTSTATUS status) {
  if (status == StatusDeletePending) return FromWin32(ERROR_DELETE_PENDING);
  return FromWin32(RtlNtStatusToDosError(status));
}

namespace {

// The Win32 code of the thread's latest failed call. A pending delete
// reaches the Win32 calls as "access denied" too; the NT status of the
// call tells it apart.
DWORD LastErrorCode() {
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == StatusDeletePending)
    return ERROR_DELETE_PENDING;
  return error;
}

// The system's messages live in files it finds in System32, which a
// 32-bit program on 64-bit Windows must be shown as SysWOW64: redirection,
// off for the run, is on again while they are read.
std::string SystemMessage(DWORD code) {
  Wow64EnableWow64FsRedirection(TRUE);
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  Wow64EnableWow64FsRedirection(FALSE);
  if (length == 0) return "error " + std::to_string(code);
  // The report line brings its own end: the message's full stop and line
  // end go.
  std::wstring_view message(text, length);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ' ||
                              message.back() == L'.'))
    message.remove_suffix(1);
  std::string narrow = NarrowText(message);
  LocalFree(text);
  return narrow;
}

}  // namespace

Status LastError() { return FromWin32(LastErrorCode()); }

bool IsRefusedOutright(const Status& status) {
  return status.native == ERROR_INVALID_PARAMETER || status.native == ERROR_NOT_SUPPORTED ||
         status.native == ERROR_INVALID_FUNCTION;
}

std::string ErrorText(const Status& status) {
  switch (status.outcome) {
    case Outcome::OtherDevice:
      return "other volume not entered";
    case Outcome::Moved:
      return "directory was moved during the removal";
    default:
      break;
  }
  if (status.native == static_cast<int>(LeadsElsewhere))
    return "the name leads elsewhere (a link that cannot be removed by itself here)";
  return SystemMessage(static_cast<DWORD>(status.native));
}

}  // namespace kelvane
