#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "runtime/wide_text.h"
#include "support/support.h"

namespace kelvane::testing {
namespace {

std::wstring Wide(std::string_view text) { return WideText<wchar_t>(text); }

// Absolute and with the \\?\ prefix, so that no length limit applies: no
// Windows path holds more than 32,767 characters. The tests' paths all lie
// on a local drive.
std::wstring LongPath(const std::string& path) {
  std::wstring full(32768, L'\0');
  return L"\\\\?\\" + full.substr(0, GetFullPathNameW(Wide(path).c_str(), 32768, full.data(), nullptr));
}

DWORD Attributes(const std::string& path) { return GetFileAttributesW(LongPath(path).c_str()); }

// Links are removed, never entered: Wine shows a Unix link as a reparse
// point, which IsDirectory() tells apart.
bool RemoveAll(const std::string& path) {
  if (IsDirectory(path))
    for (const std::string& name : Names(path)) RemoveAll(path + "\\" + name);
  const std::wstring wide = LongPath(path);
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  return (Attributes(path) & FILE_ATTRIBUTE_DIRECTORY ? RemoveDirectoryW : DeleteFileW)(wide.c_str());
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> serial = 0;
  const std::wstring temp = (std::filesystem::temp_directory_path() / "kelvane-test-").wstring();
  const std::string base = NarrowText(std::wstring_view(temp)) + std::to_string(GetCurrentProcessId()) + "-";
  // Wine hands out process ids again soon; a directory of an earlier
  // process may still be there.
  while (!CreateDirectoryW(Wide(path_ = base + std::to_string(serial++)).c_str(), nullptr))
    if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("cannot create " + path_);
}

TempDir::~TempDir() {
  if (!RemoveAll(path_)) std::abort();
}

void WriteFile(const std::string& path, std::string_view content) {
  if (!(std::ofstream(std::filesystem::path(LongPath(path)), std::ios::binary) << content).flush())
    throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(std::filesystem::path(LongPath(path)), std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

void MakeDirectory(const std::string& path) {
  if (!CreateDirectoryW(LongPath(path).c_str(), nullptr)) throw std::runtime_error("cannot make " + path);
}

bool Exists(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

// INVALID_FILE_ATTRIBUTES has every bit set, that of a reparse point too.
bool IsDirectory(const std::string& path) {
  return (Attributes(path) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
         FILE_ATTRIBUTE_DIRECTORY;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  const HANDLE search = FindFirstFileW((LongPath(dir) + L"\\*").c_str(), &data);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &data))
    if (const std::wstring_view name = data.cFileName; name != L"." && name != L"..")
      names.push_back(NarrowText(name));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

void MakeChain(const std::string& dir, int depth) {
  std::string path = dir;
  for (int level = 0; level < depth; ++level) MakeDirectory(path += "\\d");
}

RunResult RunCommandLine(const std::string& program, const std::string& arguments,
                         const RunOptions& options) {
  TempDir capture;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const auto create = [&](const char* name) {
    return CreateFileW(Wide(capture / name).c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  };
  HANDLE out = options.output == Output::Capture ? create("out") : INVALID_HANDLE_VALUE, reader = nullptr;
  // Output that refuses every write: a pipe whose reading end is gone.
  if (options.output == Output::Full && CreatePipe(&reader, &out, &inherit, 0)) CloseHandle(reader);
  const HANDLE err = create("err");
  STARTUPINFOW start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = out;
  start.hStdError = err;
  // A cross build names the program by its Unix path, which Wine shows on
  // drive Z:.
  const std::wstring binary = Wide(program.starts_with("/") ? "Z:" + program : program);
  std::wstring commandLine = L"\"" + binary + L"\"" + Wide(arguments);
  // The child inherits the settings; "NAME=" takes one away again.
  for (const std::string& setting : options.environment) _wputenv(Wide(setting).c_str());
  PROCESS_INFORMATION process;
  const bool started = CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &start, &process);
  for (const std::string& setting : options.environment)
    _wputenv(Wide(setting.substr(0, setting.find('=') + 1)).c_str());
  for (const HANDLE handle : {out, err}) CloseHandle(handle);
  if (!started) throw std::runtime_error("cannot start " + program);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  for (const HANDLE handle : {process.hThread, process.hProcess}) CloseHandle(handle);
  return {static_cast<int>(exitCode), ReadFile(capture / "out"), ReadFile(capture / "err")};
}

// Kelvane has no escape character: an argument holds no quote.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  std::string arguments;
  for (const std::string& arg : args) arguments += " \"" + arg + "\"";
  return RunCommandLine(program, arguments, options);
}

void UseOneProcessor(bool one) {
  DWORD_PTR own = 0, all = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &own, &all);
  SetProcessAffinityMask(GetCurrentProcess(), one ? all & (~all + 1) : all);
}

bool HavePosix() { return false; }
void ChangeOwner(const std::string&, int) { throw std::logic_error("owners need POSIX"); }
bool RunningAsRoot() { return false; }
bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll"), "wine_get_version") != nullptr; }

}  // namespace kelvane::testing
