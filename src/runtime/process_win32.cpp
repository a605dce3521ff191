#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bit>
#include <cstdint>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/fault_report.h"
#include "runtime/process.h"

namespace kelvane {

int RunProcess(int argc, char** argv, MainRoutine routine) {
  // A nightly run must not wait for someone to answer a "drive not ready"
  // box: the failure comes back to the call instead. The fault handling
  // has set bits of its own already.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
  BindArguments(argc, argv);
  BindStandardOutput();
  InstallFaultReport();
  Halt(routine());
}

void Halt(int code) {
  CloseStandardOutput();
  ExitProcess(static_cast<UINT>(code));
}

std::size_t UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  return static_cast<std::size_t>(std::popcount(static_cast<std::uintptr_t>(process)));
}

// A process may hold millions of handles.
std::size_t OpenFileLimit() { return SIZE_MAX; }

}  // namespace kelvane
