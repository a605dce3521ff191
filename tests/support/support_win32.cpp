#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <stdexcept>

#include "runtime/wide_text.h"
#include "support/support.h"
#include "support/windows.h"

namespace kelvane::testing {
namespace {

std::wstring Wide(std::string_view text) { return WideText<wchar_t>(text); }
std::string Narrow(std::wstring_view text) { return NarrowText(text); }

// Absolute and with the \\?\ prefix, so that no length limit applies.
std::wstring LongPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr), L'\0');
  full.resize(GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  if (full.starts_with(L"\\\\?\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

struct Found {
  std::wstring name;
  DWORD attributes;
};

std::vector<Found> List(const std::wstring& dir) {
  std::vector<Found> found;
  WIN32_FIND_DATAW data;
  const HANDLE search =
      FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") found.push_back({name, data.dwFileAttributes});
  } while (FindNextFileW(search, &data));
  FindClose(search);
  return found;
}

// Links are removed, never entered.
bool RemoveAll(const std::wstring& path, DWORD attributes) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str());
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    for (const Found& entry : List(path)) RemoveAll(path + L"\\" + entry.name, entry.attributes);
  return RemoveDirectoryW(path.c_str());
}

HANDLE Inheritable(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

HANDLE CreateForChild(const std::string& path) {
  const HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
  return Inheritable(file);
}

// Standard output of a child that refuses every write: a pipe whose
// reading end is gone.
HANDLE BrokenPipe() {
  HANDLE reader, writer;
  if (!CreatePipe(&reader, &writer, nullptr, 0)) throw std::runtime_error("cannot create a pipe");
  CloseHandle(reader);
  return Inheritable(writer);
}

// One of Wine's own translations between Windows and Unix names; null on
// Windows itself. The detour through void (*)() says that the function's
// type is known to the caller.
template <typename Function>
Function WineFunction(const char* name) {
  const FARPROC function = GetProcAddress(GetModuleHandleW(L"kernel32"), name);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(function));
}

// Wine's Windows name for a Unix path.
std::wstring DosName(const char* path) {
  WCHAR* name = WineFunction<WCHAR* (*)(const char*)>("wine_get_dos_file_name")(path);
  std::wstring converted = name;
  HeapFree(GetProcessHeap(), 0, name);
  return converted;
}

// A built program. A cross build names it by its Unix path.
std::wstring BinaryPath(const std::string& path) {
  return path.starts_with("/") && UnderWine() ? DosName(path.c_str()) : Wide(path);
}

// The process's own environment with these NAME=value settings added, as
// CreateProcessW takes it; empty for the environment unchanged.
std::wstring EnvironmentWith(const std::vector<std::string>& settings) {
  if (settings.empty()) return {};
  WCHAR* own = GetEnvironmentStringsW();
  std::wstring block;
  for (const WCHAR* entry = own; *entry != L'\0'; entry += wcslen(entry) + 1)
    block.append(entry).push_back(L'\0');
  FreeEnvironmentStringsW(own);
  for (const std::string& setting : settings) block.append(Wide(setting)).push_back(L'\0');
  return block;
}

std::string Quoted(const std::string& text) {
  const bool plain = !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20;
  });
  return plain ? text : "\"" + text + "\"";
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> serial = 0;
  WCHAR base[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  for (;;) {
    path_ = Narrow(std::wstring_view(base, length)) + "kelvane-test-" +
            std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++);
    if (CreateDirectoryW(Wide(path_).c_str(), nullptr)) return;
    if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("cannot create " + path_);
  }
}

TempDir::~TempDir() {
  if (!RemoveAll(LongPath(path_), FILE_ATTRIBUTE_DIRECTORY)) std::abort();
}

std::string TempDir::operator/(std::string_view name) const { return path_ + "\\" + std::string(name); }

void WriteFile(const std::string& path, std::string_view content) {
  const HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE &&
                  ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!ok) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  const HANDLE file =
      CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) content.append(buffer, got);
  CloseHandle(file);
  return content;
}

void MakeDirectory(const std::string& path) {
  if (!CreateDirectoryW(LongPath(path).c_str(), nullptr)) throw std::runtime_error("cannot make " + path);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const Found& entry : List(LongPath(dir))) names.push_back(Narrow(entry.name));
  std::sort(names.begin(), names.end());
  return names;
}

void MakeChain(const std::string& dir, int depth) {
  std::wstring path = LongPath(dir);
  for (int level = 0; level < depth; ++level) {
    path += L"\\d";
    if (!CreateDirectoryW(path.c_str(), nullptr))
      throw std::runtime_error("cannot build the chain in " + dir);
  }
}

namespace {

RunResult RunCommandLine(const std::string& program, const std::string& arguments,
                         const RunOptions& options) {
  TempDir capture;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = options.output == Output::Capture ? CreateForChild(capture / "out")
                       : options.output == Output::Full  ? BrokenPipe()
                                                         : INVALID_HANDLE_VALUE;
  startup.hStdError = CreateForChild(capture / "err");

  const std::wstring binary = BinaryPath(program);
  std::wstring commandLine = L"\"" + binary + L"\"" + Wide(arguments);
  std::wstring environment = EnvironmentWith(options.environment);
  PROCESS_INFORMATION process;
  const bool started =
      CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                     environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process);
  if (startup.hStdOutput != INVALID_HANDLE_VALUE) CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!started) throw std::runtime_error("cannot start " + program);

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return {static_cast<int>(exitCode), ReadFile(capture / "out"), ReadFile(capture / "err")};
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  std::string arguments;
  for (const std::string& arg : args) arguments += " " + Quoted(arg);
  return RunCommandLine(program, arguments, options);
}

RunResult RunKelvane(const std::vector<std::string>& args, const RunOptions& options) {
  return RunProgram(KELVANE_BINARY, args, options);
}

RunResult RunKelvaneCommandLine(const std::string& arguments, Output output) {
  return RunCommandLine(KELVANE_BINARY, arguments, {.output = output});
}

void UseOneProcessor(bool one) {
  static DWORD_PTR all = 0;
  DWORD_PTR system = 0;
  if (all == 0 && !GetProcessAffinityMask(GetCurrentProcess(), &all, &system)) return;
  SetProcessAffinityMask(GetCurrentProcess(), one ? all & (~all + 1) : all);
}

bool HavePosix() { return false; }

void ChangeOwner(const std::string&, int) { throw std::logic_error("owners need POSIX"); }

bool RunningAsRoot() { return false; }

std::uint32_t Attributes(const std::string& path) { return GetFileAttributesW(LongPath(path).c_str()); }

void SetAttributes(const std::string& path, std::uint32_t attributes) {
  if (!SetFileAttributesW(LongPath(path).c_str(), attributes))
    throw std::runtime_error("cannot set the attributes of " + path);
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll"), "wine_get_version") != nullptr; }

namespace {

std::string UnixName(const std::string& path) {
  char* name = WineFunction<char* (*)(const WCHAR*)>("wine_get_unix_file_name")(Wide(path).c_str());
  if (name == nullptr) throw std::runtime_error("no Unix name for " + path);
  std::string converted = name;
  HeapFree(GetProcessHeap(), 0, name);
  return converted;
}

// Runs a Unix program, which Wine starts natively.
void RunUnix(const char* program, const std::vector<std::string>& args) {
  const std::wstring binary = DosName(program);
  std::wstring commandLine = L"\"" + binary + L"\"";
  for (const std::string& arg : args) commandLine += Wide(" " + Quoted(arg));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    throw std::runtime_error("cannot start " + std::string(program));
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// Wine starts a Unix program and does not wait for it to end: the caller
// waits for its effect instead.
bool AwaitPresence(const std::string& path, bool present) {
  for (int i = 0; i < 500 && Exists(path) != present; ++i) Sleep(10);
  return Exists(path) == present;
}

}  // namespace

void RunUnixShell(const std::string& dir, const std::string& command, const std::string& awaited,
                  bool present) {
  RunUnix("/bin/sh", {"-c", "cd '" + UnixName(dir) + "' && " + command});
  if (!AwaitPresence(awaited, present)) throw std::runtime_error("no end of the Unix command " + command);
}

UnixLink::UnixLink(const std::string& target, const std::string& link)
    : link_(link), unixLink_(UnixName(link)) {
  RunUnix("/bin/ln", {"-s", UnixName(target), unixLink_});
  if (!AwaitPresence(link_, true)) throw std::runtime_error("cannot make the link " + link_);
}

UnixLink::~UnixLink() {
  RunUnix("/bin/rm", {"-f", unixLink_});
  AwaitPresence(link_, false);  // a link left over makes its temporary directory fail loudly
}

}  // namespace kelvane::testing
