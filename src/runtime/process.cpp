#include "runtime/process.h"

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/fault_report.h"
#include "runtime/process_twin.h"

namespace kelvane {

int RunProcess(int argc, char** argv, MainRoutine routine) {
  PrepareProcess();
  BindArguments(argc, argv);
  BindStandardOutput();
  InstallFaultReport();
  Halt(routine());
}

void Halt(int code) {
  CloseStandardOutput();
  EndProcess(code);
}

}  // namespace kelvane
