#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/process.h"

namespace kelvane {

int RunProcess(int argc, char** argv, MainRoutine routine) {
  // A nightly run must not wait for someone to answer a "drive not ready"
  // box: the failure comes back to the call instead.
  SetErrorMode(SEM_FAILCRITICALERRORS);
  BindArguments(argc, argv);
  BindStandardOutput();
  Halt(routine());
}

void Halt(int code) {
  IoResult = 0;
  FlushChannel(StandardOutput);
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace kelvane
