// What only Windows has, one row per case: command lines as Windows hands
// them over, attribute bits, files in use, names in any language, long
// paths, links, and what the system refuses only on some machines.
#include <gtest/gtest.h>

#include "e2e/cases.h"
#include "runtime/console.h"
#include "runtime/console_win32.h"
#include "runtime/file_system_win32.h"
#include "runtime/wide_text.h"
#include "support/support.h"

namespace kelvane::testing {
namespace {

std::wstring Wide(const std::string& text) { return WideText<wchar_t>(text); }

// Holds the entry open for its removal, sharing it as `share` says.
Held Open(const std::string& path, DWORD share) {
  return Held(CreateFileW(Wide(path).c_str(), DELETE, share, nullptr, OPEN_EXISTING, 0, nullptr),
              CloseHandle);
}

// Runs a shell command in `dir` on Wine's Unix side, which Wine starts and
// does not wait for: the wait ends once `last` is there, or gone.
void Unix(const std::string& dir, const std::string& command, const std::string& last, bool present) {
  SetCurrentDirectoryW(Wide(dir).c_str());
  RunProgram("/bin/sh", {"-c", command});
  SetCurrentDirectoryW(L"C:\\");
  for (int i = 0; i < 500 && Exists(dir + "\\" + last) != present; ++i) Sleep(10);
}

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

TEST(WindowsTest, Cases) {
  const std::string age = ' ' + std::to_string(TodayNumber() - 11324), level(250, 'd');
  const std::string cannot = "kelvane: cannot remove %A\\20010101";
  const std::string tooLong = ": " + ErrorText({Outcome::Failed, ERROR_FILENAME_EXCED_RANGE});
  const std::string elsewhere = ": " + ErrorText({Outcome::Failed, 681});  // ERROR_STOPPED_ON_SYMLINK
  const std::string invalid = ": " + ErrorText({Outcome::Failed, ERROR_INVALID_NAME});
  std::string chain;
  for (int i = 0; i < 20; ++i) chain += "\\" + level;
  const std::string straddling = "20010101" + std::string(119, 'x');  // the buffer fills inside its é
  const std::string down = "for i in $(seq 20); do mkdir " + level + " && cd -P " + level + "; done";
  // clang-format off
  RunCases({
      {"a pair of quotes and a tab separate, a backslash escapes nothing", "@35|@41",
       " \"\" %A\\\"\"\t30", "@41 41|@35 35", "", 0, "", "raw"},
      // Read-only (1) everywhere, hidden and system as well (7) in "hidden".
      {"read-only, hidden and system entries go",
       "20010101/|20010101/r|20010101/hidden/|20010101/hidden/all|20010101.zip",
       "%A", "20010101/" + age + "|20010101.zip" + age, "", 0, "", "", [](const std::string& a) {
         for (const std::string& entry : Tree(a))
           SetFileAttributesW(Wide(a + "\\" + entry).c_str(), entry.find("hidden") != entry.npos ? 7 : 1);
         return Held();
       }},
      {"a file in use stays with the directories above it",
       "20010101/|20010101/a/|20010101/a/held|20010101/a/other|20010101/b/|20010101/b/f|20010101.zip",
       "%A", "20010101/" + age + "|20010101.zip" + age,
       cannot + "\\a\\held: " + ErrorText({Outcome::Failed, ERROR_SHARING_VIOLATION}), 2,
       "20010101/|20010101/a/|20010101/a/held", "", [](const std::string& a) {
         return Open(a + "\\20010101\\a\\held", FILE_SHARE_READ | FILE_SHARE_WRITE);
       }},
      {"a removal pending counts as done", "20010101.zip", "%A", "20010101.zip" + age, "", 0, "", "",
       [](const std::string& a) {
         Held held = Open(a + "\\20010101.zip", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
         FILE_DISPOSITION_INFO disposition = {TRUE};
         SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition, sizeof disposition);
         return held;
       }},
      {"names in any language, shown in the OEM code page",
       "20010101 caf\u00e9|20010101 \u00fcber/|20010101 \u00fcber/na\u00efve \u65e5\u672c|"
       "20010101 \u65e5\u672c|" + straddling + "\u00e9|notes \u00e9", "%A",
       "20010101 caf\x82" + age + "|20010101 \x81" "ber/" + age + "|20010101 ??" + age + "|" +
       straddling + "\x82" + age, "", 0, "notes \u00e9"},
      {"a missing path in the OEM code page", "", " \"%A\\\u00e9\"", "Path %A\\\x82\\ is not a valid path",
       "", 0, "", "raw"},
      {"paths beyond MAX_PATH", "20010101/", "%A", "20010101/" + age, "", 0, "", "",
       [](const std::string& a) { return MakeChain(a + "\\20010101", 150), Held(); }},
      // Made on the Unix side: what Wine cannot name, and links.
      {"what Wine cannot name is too long; Unix links never cost their targets", "", "%A",
       "20010101/" + age + "|20010101d/" + age,
       cannot + "\\a" + chain + "\\f" + tooLong + "|" + cannot + "\\b" + chain.substr(251) + tooLong + "|" +
       cannot + "\\filelink" + elsewhere + "|" + cannot + "\\sub\\dirlink" + elsewhere + "|" + cannot + "d" +
       elsewhere, 2, "", "wine", [&](const std::string& a) {
         Unix(a, "mkdir -p new/a new/b new/sub && (cd new/a && " + down + " && : >f) && (cd new/b && " +
                 down + ") && : >new/other && ln -s ../../../outside new/sub/dirlink && ln -s "
                 "../../outside/canary new/filelink && mv new 20010101 && ln -s ../outside 20010101d",
              "20010101d", true);
         return Held(nullptr, [a](void*) { Unix(a, "rm -rf 20010101 20010101d", "20010101d", false); });
       }},
      {"a name holding a backslash is no path, nor gone when that path is missing", "", "%A",
       "20010101\\x" + age + "|20010101d/" + age, cannot + "\\x" + invalid + "|" + cannot + "d\\y\\z" + invalid, 2,
       "", "wine", [](const std::string& a) {
         Unix(a, ": >'20010101\\x' && mkdir new && : >'new/y\\z' && mv new 20010101d", "20010101d", true);
         return Held(nullptr, [a](void*) { Unix(a, "rm -rf 20010101*", "20010101d", false); });
       }},
      {"only a linking reparse point is never entered",
       "20010101/|20010101/junction/|20010101/junction/in|20010101/cloud/|20010101/cloud/in|20010101/f", "",
       "", "", 2, "20010101/|20010101/junction/|20010101/junction/in", "here",
       [](const std::string&) { return Answer(QueryAttributes, MarkReparsePoints); }},
      {"plain, hidden and system entries go without the right to change attributes",
       "20010101/|20010101/plain|20010101/hidden/|20010101/hidden/system", "", "", "", 0, "", "here",
       [](const std::string& a) {
         SetFileAttributesW(Wide(a + "\\20010101\\hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
         SetFileAttributesW(Wide(a + "\\20010101\\hidden\\system").c_str(), FILE_ATTRIBUTE_SYSTEM);
         return Answer(CreateEntryCall, RefuseAttributes);
       }},
      {"an entry that stays keeps its attributes", "20010101.zip", "", "", "", 2, "20010101.zip", "here",
       [](const std::string& a) {
         const std::wstring zip = Wide(a + "\\20010101.zip");
         SetFileAttributesW(zip.c_str(), 7);  // read-only, hidden and system
         return Answer(SetInformationCall, RefuseRemoval,
                       Held(nullptr, [zip](void*) { EXPECT_EQ(GetFileAttributesW(zip.c_str()) & 7, 7u); }));
       }},
      {"a listing without file ids", "20010101/|20010101/d/|20010101/d/f|20010101/f", "", "", "", 0, "", "here",
       [](const std::string&) { return Answer(ListDirectoryCall, RefuseFileIds); }},
      {"an entry already being removed counts as gone", "20010101.zip", "", "", "", 0, "20010101.zip", "here",
       [](const std::string&) { return Answer(SetInformationCall, AnswerDeletePending); }},
  });
  // clang-format on
}

// A file system that does not give names back, not one whose names are too long.
NTSTATUS NTAPI RefuseNames(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG) {
  return static_cast<NTSTATUS>(0xC0000010);  // STATUS_INVALID_DEVICE_REQUEST
}

TEST(WindowsTest, ANameNotGivenBackIsReportedWithItsCause) {
  TempDir tmp;
  WriteFile(tmp / "f");
  Directory dir;
  ASSERT_TRUE(OpenDirectory(tmp.path(), dir).ok());
  const Held seam = Answer(NameQueryCall, RefuseNames);
  EXPECT_EQ(EraseFile(dir, "f").native, ERROR_INVALID_FUNCTION);
}

UINT consoleCodePage = 0;  // 0: the process has no console; 437: the output is that console
std::wstring shown;        // what the console shows

BOOL WINAPI AnswerConsoleMode(HANDLE, LPDWORD) { return consoleCodePage == 437; }
UINT WINAPI AnswerCodePage() { return consoleCodePage; }
BOOL WINAPI AnswerWrite(HANDLE, const VOID* text, DWORD units, LPDWORD written, LPVOID) {
  return shown.append(static_cast<const wchar_t*>(text), *written = units), TRUE;
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
  const Held seams =
      Answer(ConsoleModeCall, AnswerConsoleMode,
             Answer(ConsoleCodePageCall, AnswerCodePage, Answer(WriteConsoleCall, AnswerWrite)));
  for (const UINT page : {437, CP_UTF8, 0}) {
    consoleCodePage = page;
    BindStandardOutput();
    StandardOutput.transfer("\xC3", 1);
    StandardOutput.transfer("\xA9\xE6\x97\xA5\r\n", 6);
  }
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  EXPECT_EQ(shown, L"\u00e9\u65e5\r\n");
  EXPECT_EQ(ReadFile(tmp / "out"),
            "\xC3\xA9\xE6\x97\xA5\r\n" + std::string(GetOEMCP() == 437 ? "\x82?\r\n" : ""));
}

}  // namespace
}  // namespace kelvane::testing
