// Starts a program under Wine with the exact command line Windows would
// hand it, which no Unix argument vector can spell: KELVANE_COMMAND_LINE.
// Meanwhile it holds a file open as another program would, sharing read
// and write (KELVANE_HOLD), or with its removal pending (KELVANE_PENDING).
// Standard handles are passed on; the exit code is the program's.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace {

std::wstring Setting(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD size = GetEnvironmentVariableW(name, value, 32768);
  return std::wstring(value, size < 32768 ? size : 0);
}

HANDLE Hold(const std::wstring& path, DWORD share) {
  return path.empty() ? nullptr
                      : CreateFileW(path.c_str(), DELETE, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

int main() {
  const HANDLE held = Hold(Setting(L"KELVANE_HOLD"), FILE_SHARE_READ | FILE_SHARE_WRITE);
  const HANDLE pending =
      Hold(Setting(L"KELVANE_PENDING"), FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (pending) SetFileInformationByHandle(pending, FileDispositionInfo, &disposition, sizeof disposition);
  std::wstring line = Setting(L"KELVANE_COMMAND_LINE");
  STARTUPINFOW start = {};  // the standard handles are passed on
  start.cb = sizeof start;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process))
    return 126;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 126;
  GetExitCodeProcess(process.hProcess, &exitCode);
  for (const HANDLE handle : {held, pending}) CloseHandle(handle);
  return static_cast<int>(exitCode);
}
