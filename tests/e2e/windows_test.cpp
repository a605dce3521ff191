// What only Windows has, one row per case: command lines as Windows hands
// them over, attribute bits, files in use, names in any language, long
// paths, links, and what the system refuses only on some machines.
#include <gtest/gtest.h>
#include <windows.h>

#include "e2e/cases.h"
#include "runtime/console.h"
#include "runtime/console_win32.h"
#include "runtime/file_system_win32.h"
#include "runtime/wide_text.h"
#include "support/support.h"

namespace kelvane {
namespace {

using namespace testing;

std::wstring Wide(const std::string& text) { return WideText<wchar_t>(text); }

Held Open(const std::string& path, DWORD access, DWORD share) {
  return Held(CreateFileW(Wide(path).c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr),
              CloseHandle);
}

// Runs a shell command in `dir` on Wine's Unix side, which Wine starts and
// does not wait for: the caller waits until `awaited` is there, or gone.
void Unix(const std::string& dir, const std::string& command, const std::string& awaited,
          bool present = true) {
  SetCurrentDirectoryW(Wide(dir).c_str());
  RunProgram("/bin/sh", {"-c", command});
  SetCurrentDirectoryW(L"C:\\");
  for (int i = 0; i < 500 && Exists(awaited) != present; ++i) Sleep(10);
}

// Wine can make neither a junction nor a cloud placeholder: the seam shows
// plain directories of these names as such.
AttributeQuery systemQuery = QueryAttributes;
Status MarkReparsePoints(HANDLE entry, FILE_ATTRIBUTE_TAG_INFO& info) {
  const Status status = systemQuery(entry, info);
  alignas(8) unsigned char buffer[sizeof(FILE_NAME_INFO) + 2 * MAX_PATH * sizeof(WCHAR)] = {};
  GetFileInformationByHandleEx(entry, FileNameInfo, buffer, sizeof buffer - 2);
  const std::wstring_view name(reinterpret_cast<FILE_NAME_INFO*>(buffer)->FileName);
  if (name.ends_with(L"junction") || name.ends_with(L"cloud"))
    info.FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  info.ReparseTag = name.ends_with(L"junction") ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_CLOUD;
  return status;
}

// An account may be allowed to delete an entry and not to change its
// attributes.
NTSTATUS NTAPI RefuseAttributeChanges(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                      PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG bits, ULONG share,
                                      ULONG disposition, ULONG options, PVOID ea, ULONG eaSize) {
  if (access & FILE_WRITE_ATTRIBUTES) return static_cast<NTSTATUS>(0xC0000022);
  return NtCreateFile(handle, access, attributes, io, size, bits, share, disposition, options, ea, eaSize);
}

// Someone else's removal is pending: Windows answers "access denied" and
// keeps the NT status beside it.
BOOL WINAPI AnswerDeletePending(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  SetLastError(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0000056)));
  return FALSE;
}

template <typename Call>
Held Answer(Call& call, Call answer) {
  const Call system = call;
  call = answer;
  return Held(nullptr, [&call, system](void*) { call = system; });
}

TEST(WindowsTest, Cases) {
  const std::string age = " " + std::to_string(TodayNumber() - 11324), level(250, 'd');
  const std::string tooLong = ": " + ErrorText({Outcome::Failed, ERROR_FILENAME_EXCED_RANGE});
  const std::string elsewhere = ": " + ErrorText({Outcome::Failed, 681});  // ERROR_STOPPED_ON_SYMLINK
  std::string chain;
  for (int i = 0; i < 20; ++i) chain += "\\" + level;
  const std::string straddling = "20010101" + std::string(119, 'x');  // the buffer fills inside its é
  const std::string down = "for i in $(seq 20); do mkdir " + level + " && cd -P " + level + "; done";
  const std::string cannot = "kelvane: cannot remove %A\\20010101";
  RunCases({
      {"a pair of quotes and a tab separate", "@35|@41", " \"\" %A\t30", "@41 41|@35 35", "", 0, "", "raw"},
      {"no escape character", "@35|@41", " %A\\\"\" 30", "@41 41|@35 35", "", 0, "", "raw"},
      {"read-only, hidden and system entries go",
       "20010101/|20010101/r|20010101/in/|20010101/in/all|20010101.zip", "%A",
       "20010101/" + age + "|20010101.zip" + age, "", 0, "", "",
       [](const std::string& a) {
         const DWORD all = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
         for (const auto& [name, bits] : {std::pair{"\\20010101\\r", FILE_ATTRIBUTE_READONLY},
                                          {"\\20010101\\in\\all", all},
                                          {"\\20010101.zip", all},
                                          {"\\20010101\\in", all | FILE_ATTRIBUTE_DIRECTORY},
                                          {"\\20010101", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY}})
           SetFileAttributesW(Wide(a + name).c_str(), bits);
         return Held();
       }},
      {"a file in use stays with the directories above it",
       "20010101/|20010101/a/|20010101/a/held|20010101/a/other|20010101/b/|20010101/b/f|20010101/"
       "top|20010101.zip",
       "%A", "20010101/" + age + "|20010101.zip" + age,
       cannot + "\\a\\held: " + ErrorText({Outcome::Failed, ERROR_SHARING_VIOLATION}), 2,
       "20010101/|20010101/a/|20010101/a/held", "",
       [](const std::string& a) {
         return Open(a + "\\20010101\\a\\held", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
       }},
      {"a removal pending counts as done", "20010101.zip", "%A", "20010101.zip" + age, "", 0, "", "",
       [](const std::string& a) {
         Held held =
             Open(a + "\\20010101.zip", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
         FILE_DISPOSITION_INFO disposition = {TRUE};
         SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition, sizeof disposition);
         return held;
       }},
      {"names in any language, shown in the OEM code page",
       "20010101 caf\u00e9|20010101 \u00fcber/|20010101 \u00fcber/na\u00efve \u65e5\u672c|20010101 "
       "\u65e5\u672c|" +
           straddling + "\u00e9|notes \u00e9",
       "%A",
       "20010101 caf\x82" + age +
           "|20010101 \x81"
           "ber/" +
           age + "|20010101 ??" + age + "|" + straddling + "\x82" + age,
       "", 0, "notes \u00e9"},
      {"a missing path in the OEM code page", "", " \"%A\\\u00e9\"", "Path %A\\\x82\\ is not a valid path",
       "", 0, "", "raw"},
      {"paths beyond MAX_PATH", "20010101/", "%A", "20010101/" + age, "", 0, "", "",
       [](const std::string& a) { return MakeChain(a + "\\20010101", 150), Held(); }},
      {"what Wine cannot name is too long", "", "%A", "20010101/" + age,
       cannot + "\\a" + chain + "\\f" + tooLong + "|" + cannot + "\\b" + chain.substr(251) + tooLong, 2, "",
       "wine",
       [&](const std::string& a) {
         Unix(a,
              "mkdir -p new/a new/b && (cd new/a && " + down + " && : >f) && (cd new/b && " + down +
                  ") && mv new 20010101",
              a + "\\20010101");
         return Held(nullptr, [a](void*) { Unix(a, "rm -rf 20010101", a + "\\20010101", false); });
       }},
      {"Unix links never cost their targets", "20010101/|20010101/sub/|20010101/other", "%A",
       "20010101/" + age + "|20010101d/" + age,
       cannot + "\\filelink" + elsewhere + "|" + cannot + "\\sub\\dirlink" + elsewhere + "|" + cannot + "d" +
           elsewhere,
       2, "", "wine",
       [](const std::string& a) {
         Unix(a,
              "ln -s ../../../outside 20010101/sub/dirlink && ln -s ../../outside/canary 20010101/filelink "
              "&& ln -s ../outside 20010101d",
              a + "\\20010101d");
         return Held(nullptr, [a](void*) { Unix(a, "rm -rf 20010101 20010101d", a + "\\20010101", false); });
       }},
      {"only a linking reparse point is never entered",
       "20010101/|20010101/junction/|20010101/junction/in|20010101/cloud/|20010101/cloud/in|20010101/f", "",
       "", "", 2, "20010101/|20010101/junction/|20010101/junction/in", "here",
       [](const std::string&) { return Answer(QueryAttributes, MarkReparsePoints); }},
      {"a plain entry goes without the right to change attributes", "20010101.zip", "", "", "", 0, "", "here",
       [](const std::string&) { return Answer(CreateEntryCall, RefuseAttributeChanges); }},
      {"an entry already being removed counts as gone", "20010101.zip", "", "", "", 0, "20010101.zip", "here",
       [](const std::string&) { return Answer(SetInformationCall, AnswerDeletePending); }},
  });
}

bool isConsole = false;
UINT consoleCodePage = 0;  // 0: the process has no console
std::wstring shown;        // what the console shows

BOOL WINAPI AnswerConsoleMode(HANDLE, LPDWORD) { return isConsole; }
UINT WINAPI AnswerCodePage() { return consoleCodePage; }
BOOL WINAPI AnswerWrite(HANDLE, const VOID* text, DWORD units, LPDWORD written, LPVOID) {
  shown.append(static_cast<const wchar_t*>(text), units);
  *written = units;
  return TRUE;
}

// A console shows every name as it is, whatever its code page; a file gets
// the code page of the process's console, or the OEM one where it has none.
// "é日", as a full buffer cuts it after its first byte.
TEST(WindowsTest, AConsoleGetsUtf16AndAFileTheConsolesCodePage) {
  TempDir tmp;
  const HANDLE file =
      CreateFileW(Wide(tmp / "out").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  {
    const Held mode = Answer(ConsoleModeCall, AnswerConsoleMode);
    const Held codePage = Answer(ConsoleCodePageCall, AnswerCodePage);
    const Held write = Answer(WriteConsoleCall, AnswerWrite);
    for (const auto& [console, page] : {std::pair{true, 437u}, {false, CP_UTF8}, {false, 0u}}) {
      isConsole = console;
      consoleCodePage = page;
      BindStandardOutput();
      StandardOutput.transfer("\xC3", 1);
      StandardOutput.transfer("\xA9\xE6\x97\xA5\r\n", 6);
    }
  }
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  EXPECT_EQ(shown, L"\u00e9\u65e5\r\n");
  EXPECT_EQ(ReadFile(tmp / "out"),
            "\xC3\xA9\xE6\x97\xA5\r\n" + std::string(GetOEMCP() == 437 ? "\x82?\r\n" : ""));
}

}  // namespace
}  // namespace kelvane
