#define WIN32_LEAN_AND_MEAN
#include <windows.h>

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

}  // namespace kelvane
