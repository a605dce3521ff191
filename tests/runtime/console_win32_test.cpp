#include "runtime/console_win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "runtime/console.h"

namespace kelvane {
namespace {

UINT consoleCodePage = 0;  // 0: the process has no console; 437: the output is that console
std::wstring shown;        // what the console shows

BOOL WINAPI AnswerConsoleMode(HANDLE, LPDWORD) { return consoleCodePage == 437; }
UINT WINAPI AnswerCodePage() { return consoleCodePage; }
BOOL WINAPI AnswerWrite(HANDLE, const VOID* text, DWORD units, LPDWORD written, LPVOID) {
  return shown.append(static_cast<const wchar_t*>(text), *written = units), TRUE;
}

// A console shows every name as it is, whatever its code page; a file gets
// the code page of the process's console, or the OEM one where it has none.
// Under Wine a test has no console whose code page it may choose: it
// answers for the console. "é日", as a full buffer cuts it after its first
// byte.
TEST(ConsoleTest, AConsoleGetsUtf16AndAFileTheConsolesCodePage) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "kelvane-console-test";
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  const auto system = std::tuple(ConsoleModeCall, ConsoleCodePageCall, WriteConsoleCall);
  std::tie(ConsoleModeCall, ConsoleCodePageCall, WriteConsoleCall) =
      std::tuple(&AnswerConsoleMode, &AnswerCodePage, &AnswerWrite);
  for (const UINT page : {437, CP_UTF8, 0}) {
    consoleCodePage = page;
    BindStandardOutput();
    StandardOutput.transfer("\xC3", 1);
    StandardOutput.transfer("\xA9\xE6\x97\xA5\r\n", 6);
  }
  std::tie(ConsoleModeCall, ConsoleCodePageCall, WriteConsoleCall) = system;
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(shown, L"\u00e9\u65e5\r\n");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "\xC3\xA9\xE6\x97\xA5\r\n" + std::string(GetOEMCP() == 437 ? "\x82?\r\n" : ""));
  in.close();
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace kelvane
