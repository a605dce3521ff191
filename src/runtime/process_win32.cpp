#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bit>
#include <cstdint>

#include "runtime/fault_report.h"
#include "runtime/process.h"
#include "runtime/process_twin.h"

namespace kelvane {
namespace {

// A 32-bit program on 64-bit Windows has what it names under
// %windir%\System32 taken from %windir%\SysWOW64 instead, thread by
// thread: an archive there would be another directory than the one named.
// Every thread of the run works on the paths it was given. Elsewhere the
// call changes nothing. The program loads no library after start-up,
// which would need the redirection.
void TakePathsAsGiven() {
  PVOID redirection = nullptr;
  Wow64DisableWow64FsRedirection(&redirection);
}

}  // namespace

void PrepareProcess() {
  // A nightly run must not wait for someone to answer a "drive not ready"
  // box: the failure comes back to the call instead. The fault handling
  // has set bits of its own already.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
  TakePathsAsGiven();
}

void EndProcess(int code) { ExitProcess(static_cast<UINT>(code)); }

void PrepareThread() {
  PrepareThreadForFaults();
  TakePathsAsGiven();
}

std::size_t UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  return static_cast<std::size_t>(std::popcount(static_cast<std::uintptr_t>(process)));
}

// A process may hold millions of handles.
std::size_t OpenFileLimit() { return SIZE_MAX; }

}  // namespace kelvane
