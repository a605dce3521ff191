#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/arguments.h"
#include "runtime/command_line.h"
#include "runtime/wide_text.h"

namespace kelvane {
namespace {

// The tokens of the process's own command line, the program name first.
std::vector<std::wstring> tokens;

std::string Cut(std::wstring_view text) { return NarrowText(KeepUnits(text, MaxArgumentLength)); }

const std::wstring* NthArgument(std::int32_t n) {
  return n >= 1 && static_cast<std::size_t>(n) < tokens.size() ? &tokens[static_cast<std::size_t>(n)]
                                                               : nullptr;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

}  // namespace

// Windows hands a program one command line, which it splits itself; the
// runtime's own argv would follow other rules.
void BindArguments(int, char**) { tokens = SplitCommandLine(std::wstring_view(GetCommandLineW())); }

std::int32_t ArgumentCount() { return static_cast<std::int32_t>(tokens.size()) - 1; }

std::string Argument(std::int32_t n) {
  if (n == 0) return Cut(ModulePath());
  const std::wstring* argument = NthArgument(n);
  return argument != nullptr ? Cut(*argument) : std::string();
}

bool ArgumentWasCut(std::int32_t n) {
  const std::wstring* argument = NthArgument(n);
  return argument != nullptr && argument->size() > MaxArgumentLength;
}

}  // namespace kelvane
