#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "runtime/wide_text.h"
#include "support/support.h"

namespace kelvane::testing {
namespace {

std::wstring Wide(std::string_view text) { return WideText<wchar_t>(text); }

// Absolute and with the \\?\ prefix, so that no length limit applies. The
// tests' paths all lie on a local drive.
std::wstring LongPath(const std::string& path) {
  std::wstring full(MAX_PATH, L'\0');
  full.resize(GetFullPathNameW(Wide(path).c_str(), MAX_PATH, full.data(), nullptr));
  return full.starts_with(L"\\\\?\\") || full.size() >= MAX_PATH ? Wide(path) : L"\\\\?\\" + full;
}

// Calls `visit` with the name and attribute bits of each entry of `dir`.
template <typename Visit>
void List(const std::wstring& dir, Visit visit) {
  WIN32_FIND_DATAW data;
  const HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") visit(name, data.dwFileAttributes);
  } while (FindNextFileW(search, &data));
  FindClose(search);
}

// Links are removed, never entered.
bool RemoveAll(const std::wstring& path, DWORD attributes) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str());
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    List(path, [&](const std::wstring& name, DWORD bits) { RemoveAll(path + L"\\" + name, bits); });
  return RemoveDirectoryW(path.c_str());
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<unsigned> serial = 0;
  WCHAR base[MAX_PATH + 1];
  // Wine hands out process ids again soon; a directory of an earlier
  // process may still be there.
  do {
    path_ = NarrowText(std::wstring_view(base, GetTempPathW(MAX_PATH + 1, base))) + "kelvane-test-" +
            std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++);
  } while (!CreateDirectoryW(Wide(path_).c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
  if (!Exists(path_)) throw std::runtime_error("cannot create " + path_);
}

TempDir::~TempDir() {
  if (!RemoveAll(LongPath(path_), FILE_ATTRIBUTE_DIRECTORY)) std::abort();
}

void WriteFile(const std::string& path, std::string_view content) {
  std::ofstream file(std::filesystem::path(LongPath(path)), std::ios::binary);
  if (!file.write(content.data(), static_cast<std::streamsize>(content.size())).flush())
    throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(std::filesystem::path(LongPath(path)), std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

void MakeDirectory(const std::string& path) {
  if (!CreateDirectoryW(LongPath(path).c_str(), nullptr)) throw std::runtime_error("cannot make " + path);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::string& path) {
  const DWORD bits = GetFileAttributesW(LongPath(path).c_str());
  return bits != INVALID_FILE_ATTRIBUTES && (bits & FILE_ATTRIBUTE_DIRECTORY) &&
         !(bits & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  List(LongPath(dir),
       [&](const std::wstring& name, DWORD) { names.push_back(NarrowText(std::wstring_view(name))); });
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
    return CreateFileW(LongPath(capture / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                       CREATE_ALWAYS, 0, nullptr);
  };
  HANDLE out = options.output == Output::Capture ? create("out") : INVALID_HANDLE_VALUE, reader = nullptr;
  // Output that refuses every write: a pipe whose reading end is gone.
  if (options.output == Output::Full && CreatePipe(&reader, &out, &inherit, 0)) CloseHandle(reader);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = out;
  startup.hStdError = create("err");
  // A cross build names the program by its Unix path, which Wine shows on
  // drive Z:.
  const std::wstring binary = Wide(program.starts_with("/") ? "Z:" + program : program);
  std::wstring commandLine = L"\"" + binary + L"\"" + Wide(arguments);
  const auto setEnvironment = [&](bool set) {
    for (const std::string& setting : options.environment) {
      const std::size_t equals = setting.find('=');
      SetEnvironmentVariableW(Wide(setting.substr(0, equals)).c_str(),
                              set ? Wide(setting.substr(equals + 1)).c_str() : nullptr);
    }
  };
  setEnvironment(true);
  PROCESS_INFORMATION process;
  const bool started = CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  setEnvironment(false);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!started) throw std::runtime_error("cannot start " + program);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
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
