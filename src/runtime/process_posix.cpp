#include <csignal>
#include <cstdlib>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/fault_report.h"
#include "runtime/process.h"

namespace kelvane {

int RunProcess(int argc, char** argv, MainRoutine routine) {
  // A reader that goes away must not kill the run half-way through its
  // removals: writes to a closed pipe then fail, and the channel goes quiet.
  std::signal(SIGPIPE, SIG_IGN);
  BindArguments(argc, argv);
  BindStandardOutput();
  InstallFaultReport();
  Halt(routine());
}

void Halt(int code) {
  CloseStandardOutput();
  std::exit(code);
}

}  // namespace kelvane
