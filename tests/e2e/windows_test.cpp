// What only Windows has, one row per case: command lines as Windows hands
// them over, attribute bits, files in use, names in any language, long
// paths, links, and what the system refuses only on some machines.
#include "support/windows.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "expiry/tree_removal.h"
#include "runtime/console.h"
#include "runtime/console_win32.h"
#include "runtime/file_system_win32.h"
#include "runtime/wide_text.h"

namespace kelvane {
namespace {

using namespace testing;
using Held = std::shared_ptr<void>;  // what a case holds during the run, let go of after it

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

struct Case {
  std::string what;
  std::vector<std::string> tree;  // built in the archive
  std::string commandLine;        // "%A" stands for the archive; empty: removed in this process
  std::vector<std::string> out;   // in any order
  std::vector<std::string> err;   // "%A" stands for the archive; in any order
  int exitCode;
  std::vector<std::string> left;  // what stays in the archive
  std::function<Held(const std::string& archive)> prepare = nullptr;
  bool wineOnly = false;
};

std::string WithArchive(std::string text, const std::string& archive) {
  for (std::size_t at; (at = text.find("%A")) != std::string::npos;) text.replace(at, 2, archive);
  return text;
}

// Removes the archive's one entry here, so that a seam can answer for the
// system; the exit code stands for what was reported.
int RemoveHere(const std::string& archive) {
  Directory top;
  RemovalCrew crew;
  const std::string name = Names(archive).at(0);
  return OpenDirectory(archive, top).ok() &&
                 RemoveTree(crew, top, archive + "\\", name,
                            IsDirectory(archive + "\\" + name) ? AttrDirectory : 0)
             ? 0
             : 2;
}

TEST(WindowsTest, Cases) {
  const bool underWine = GetProcAddress(GetModuleHandleW(L"ntdll"), "wine_get_version") != nullptr;
  const int today = TodayNumber();
  const std::string young = DateDaysAgo(35), old = DateDaysAgo(41), level(250, 'd');
  const auto file = [&](const std::string& name) { return Report(name, today - 11324, false); };
  const auto dir = [&](const std::string& name) { return Report(name, today - 11324, true); };
  const std::string tooLong = ": " + ErrorText({Outcome::Failed, ERROR_FILENAME_EXCED_RANGE});
  const std::string elsewhere = ": " + ErrorText({Outcome::Failed, 681});  // ERROR_STOPPED_ON_SYMLINK
  std::string chain;
  for (int i = 0; i < 20; ++i) chain += "\\" + level;
  const std::string straddling = "20010101" + std::string(119, 'x');  // the buffer fills inside its é
  const std::string down = "for i in $(seq 20); do mkdir " + level + " && cd -P " + level + "; done";
  const Case cases[] = {
      {"a pair of quotes and a tab separate",
       {young, old},
       " \"\" %A\t30",
       {Report(old, 41, false), Report(young, 35, false)},
       {},
       0,
       {}},
      {"no escape character",
       {young, old},
       " %A\\\"\" 30",
       {Report(old, 41, false), Report(young, 35, false)},
       {},
       0,
       {}},
      {"read-only, hidden and system entries go",
       {"20010101/", "20010101/r", "20010101/inner/", "20010101/inner/all", "20010101.zip"},
       " %A",
       {dir("20010101"), file("20010101.zip")},
       {},
       0,
       {},
       [](const std::string& a) {
         const DWORD all = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
         for (const auto& [name, bits] : {std::pair{"\\20010101\\r", FILE_ATTRIBUTE_READONLY},
                                          {"\\20010101\\inner\\all", all},
                                          {"\\20010101.zip", all},
                                          {"\\20010101\\inner", all | FILE_ATTRIBUTE_DIRECTORY},
                                          {"\\20010101", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY}})
           SetFileAttributesW(Wide(a + name).c_str(), bits);
         return nullptr;
       }},
      {"a file in use stays with the directories above it",
       {"20010101/", "20010101/a/", "20010101/a/held", "20010101/a/other", "20010101/b/", "20010101/b/f",
        "20010101/top", "20010101.zip"},
       " %A",
       {dir("20010101"), file("20010101.zip")},
       {"kelvane: cannot remove %A\\20010101\\a\\held: " +
        ErrorText({Outcome::Failed, ERROR_SHARING_VIOLATION})},
       2,
       {"20010101/", "20010101/a/", "20010101/a/held"},
       [](const std::string& a) {
         return Open(a + "\\20010101\\a\\held", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
       }},
      {"a removal pending counts as done",
       {"20010101.zip"},
       " %A",
       {file("20010101.zip")},
       {},
       0,
       {},
       [](const std::string& a) {
         Held held =
             Open(a + "\\20010101.zip", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
         FILE_DISPOSITION_INFO disposition = {TRUE};
         SetFileInformationByHandle(held.get(), FileDispositionInfo, &disposition, sizeof disposition);
         return held;
       }},
      {"names in any language, shown in the OEM code page",
       {"20010101 caf\u00e9", "20010101 \u00fcber/", "20010101 \u00fcber/na\u00efve \u65e5\u672c",
        "20010101 \u65e5\u672c", straddling + "\u00e9", "notes \u00e9"},
       " %A",
       {file("20010101 caf\x82"),
        dir("20010101 \x81"
            "ber"),
        file("20010101 ??"), file(straddling + "\x82")},
       {},
       0,
       {"notes \u00e9"}},
      {"a missing path in the OEM code page",
       {},
       " \"%A\\\u00e9\"",
       {"Path %A\\\x82\\ is not a valid path"},
       {},
       0,
       {}},
      {"paths beyond MAX_PATH",
       {"20010101/"},
       " %A",
       {dir("20010101")},
       {},
       0,
       {},
       [](const std::string& a) { return MakeChain(a + "\\20010101", 150), nullptr; }},
      {"what Wine cannot name is too long",
       {},
       " %A",
       {dir("20010101")},
       {"kelvane: cannot remove %A\\20010101\\a" + chain + "\\f" + tooLong,
        "kelvane: cannot remove %A\\20010101\\b" + chain.substr(251) + tooLong},
       2,
       {},
       [&](const std::string& a) {
         Unix(a,
              "mkdir -p new/a new/b && (cd new/a && " + down + " && : >f) && (cd new/b && " + down +
                  ") && mv new 20010101",
              a + "\\20010101");
         return Held(nullptr, [a](void*) { Unix(a, "rm -rf 20010101", a + "\\20010101", false); });
       },
       true},
      {"Unix links never cost their targets",
       {"20010101/", "20010101/sub/", "20010101/other"},
       " %A",
       {dir("20010101"), dir("20010101d")},
       {"kelvane: cannot remove %A\\20010101\\filelink" + elsewhere,
        "kelvane: cannot remove %A\\20010101\\sub\\dirlink" + elsewhere,
        "kelvane: cannot remove %A\\20010101d" + elsewhere},
       2,
       {},
       [](const std::string& a) {
         Unix(a,
              "ln -s ../../../outside 20010101/sub/dirlink && ln -s ../../outside/canary 20010101/filelink "
              "&& ln -s ../outside 20010101d",
              a + "\\20010101d");
         return Held(nullptr, [a](void*) { Unix(a, "rm -rf 20010101 20010101d", a + "\\20010101", false); });
       },
       true},
      {"only a linking reparse point is never entered",
       {"20010101/", "20010101/junction/", "20010101/junction/in", "20010101/cloud/", "20010101/cloud/in",
        "20010101/f"},
       "",
       {},
       {},
       2,
       {"20010101/", "20010101/junction/", "20010101/junction/in"},
       [](const std::string&) { return Answer(QueryAttributes, MarkReparsePoints); }},
      {"a plain entry goes without the right to change attributes",
       {"20010101.zip"},
       "",
       {},
       {},
       0,
       {},
       [](const std::string&) { return Answer(CreateEntryCall, RefuseAttributeChanges); }},
      {"an entry already being removed counts as gone",
       {"20010101.zip"},
       "",
       {},
       {},
       0,
       {"20010101.zip"},
       [](const std::string&) { return Answer(SetInformationCall, AnswerDeletePending); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.wineOnly && !underWine) continue;
    TempDir tmp;
    const std::string archive = tmp.path() + "\\archive";
    Build(tmp.path(), {"archive/", "outside/", "outside/canary"});
    Build(archive, c.tree);
    Held held = c.prepare ? c.prepare(archive) : nullptr;
    const RunResult run = c.commandLine.empty()
                              ? RunResult{RemoveHere(archive), "", ""}
                              : RunCommandLine(KELVANE_BINARY, WithArchive(c.commandLine, archive));
    held.reset();
    std::vector<std::string> err;
    for (const std::string& line : c.err) err.push_back(WithArchive(line, archive));
    std::sort(err.begin(), err.end());
    EXPECT_EQ(SortedLines(run.out), SortedLines(WithArchive(Lines(c.out), archive)));
    EXPECT_EQ(SortedLines(run.err), err);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(Tree(archive), c.left);
    EXPECT_EQ(Tree(tmp / "outside"), std::vector<std::string>{"canary"});
  }
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
