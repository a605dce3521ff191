// How standard output reaches a console, and a file or a pipe, on Windows.
#include "runtime/console_win32.h"

#include <gtest/gtest.h>

#include "runtime/console.h"
#include "runtime/wide_text.h"
#include "support/support.h"

namespace kelvane {
namespace {

bool isConsole = false;
UINT consoleCodePage = 0;  // 0: the process has no console
std::wstring shown;        // what the console shows

BOOL WINAPI AnswerMode(HANDLE, LPDWORD) { return isConsole; }
UINT WINAPI AnswerCodePage() { return consoleCodePage; }
BOOL WINAPI Show(HANDLE, const VOID* text, DWORD units, LPDWORD written, LPVOID) {
  shown.append(static_cast<const wchar_t*>(text), units);
  *written = units;
  return TRUE;
}

// A console shows every name as it is, whatever its code page; a file gets
// the code page of the process's console, or the OEM one where it has none.
// "é日", as a full buffer cuts it after its first byte.
TEST(ConsoleWin32Test, AConsoleGetsUtf16AndAFileTheConsolesCodePage) {
  if (GetOEMCP() != 437) GTEST_SKIP() << "the expected bytes are those of code page 437";
  testing::TempDir tmp;
  const HANDLE file = CreateFileW(WideText<wchar_t>(tmp / "out").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_ALWAYS, 0, nullptr);
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  ConsoleModeCall = AnswerMode;
  ConsoleCodePageCall = AnswerCodePage;
  WriteConsoleCall = Show;
  for (const auto& [console, codePage] : {std::pair{true, 437u}, {false, CP_UTF8}, {false, 0u}}) {
    isConsole = console;
    consoleCodePage = codePage;
    BindStandardOutput();
    StandardOutput.transfer("\xC3", 1);
    StandardOutput.transfer("\xA9\xE6\x97\xA5\r\n", 6);
  }
  ConsoleModeCall = GetConsoleMode;
  ConsoleCodePageCall = GetConsoleOutputCP;
  WriteConsoleCall = WriteConsoleW;
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  EXPECT_EQ(shown, L"\u00e9\u65e5\r\n");
  EXPECT_EQ(testing::ReadFile(tmp / "out"), "\xC3\xA9\xE6\x97\xA5\r\n\x82?\r\n");
}

}  // namespace
}  // namespace kelvane
