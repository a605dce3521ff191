#include <csignal>
#include <cstdlib>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/process.h"

namespace kelvane {

int RunProcess(int argc, char** argv, MainRoutine routine) {
  // A reader that goes away must not kill the run half-way through its
  // removals: writes to a closed pipe then fail, and the channel goes quiet.
  std::signal(SIGPIPE, SIG_IGN);
  BindArguments(argc, argv);
  BindStandardOutput();
  Halt(routine());
}

void Halt(int code) {
  IoResult = 0;
  FlushChannel(StandardOutput);
  std::exit(code);
}

}  // namespace kelvane
