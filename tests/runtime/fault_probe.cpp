// Stands in for kelvane in the fault report's tests: the same start-up and
// end, with a main routine that faults as its first argument says. Before
// it faults it ends one write statement and leaves a second one open.
// FAULT_PROBE_AT_START_UP names a fault to happen during start-up instead.
#include <cfenv>
#include <csignal>
#include <cstdlib>
#include <new>
#include <string_view>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/process.h"

namespace kelvane {
namespace {

// Volatile, so that the compiler cannot see what the faults will meet.
int* volatile nowhere = nullptr;
volatile int dividend = 7;
volatile int zero = 0;
volatile double tiny = 1e-300;
volatile double huge = 1e300;
volatile double floatZero = 0.0;
volatile double three = 3.0;
volatile std::size_t unsatisfiable = SIZE_MAX - 4096;

char** programArguments = nullptr;

[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth == zero - 1) return 0;
  return Recurse(depth + 1) + frame[0];
}

int FloatTrap(int exceptions, double (*compute)()) {
  feenableexcept(exceptions);
  return compute() > 0;
}

int Raise(int signal) { return std::raise(signal); }

const struct {
  std::string_view name;
  int (*fault)();
} Faults[] = {
    {"read", [] { return *nowhere; }},
    {"write",
     [] {
       *nowhere = 1;
       return 0;
     }},
    {"divide", [] { return dividend / zero; }},
    {"recurse", [] { return Recurse(0); }},
    {"allocate",
     [] { return static_cast<int>(*static_cast<volatile char*>(::operator new(unsatisfiable))); }},
    {"float-divide", [] { return FloatTrap(FE_DIVBYZERO, [] { return 1.0 / floatZero; }); }},
    {"float-overflow", [] { return FloatTrap(FE_OVERFLOW, [] { return huge * huge; }); }},
    {"float-underflow", [] { return FloatTrap(FE_UNDERFLOW, [] { return tiny * tiny; }); }},
    {"float-invalid", [] { return FloatTrap(FE_INVALID, [] { return floatZero / floatZero; }); }},
    {"float-inexact", [] { return FloatTrap(FE_INEXACT, [] { return 1.0 / three; }); }},
    {"illegal",
     [] {
       __builtin_trap();
       return 0;
     }},
    // The report looks up the module of the fault address, and the
    // program's module carries the name it was started under.
    {"in-report",
     [] {
       programArguments[0] = reinterpret_cast<char*>(8);
       return *nowhere;
     }},
    {"abort",
     [] {
       std::abort();
       return 0;
     }},
    {"trap", [] { return Raise(SIGTRAP); }},
    {"bad-system-call", [] { return Raise(SIGSYS); }},
    {"interrupt", [] { return Raise(SIGINT); }},
    {"terminate", [] { return Raise(SIGTERM); }},
    {"hang-up", [] { return Raise(SIGHUP); }},
};

int FaultNamed(std::string_view name) {
  for (const auto& entry : Faults)
    if (entry.name == name) return entry.fault();
  return 3;
}

int FaultOnDemand() {
  WriteText(StandardOutput, "written before the fault");
  WriteLineEnd(StandardOutput);
  WriteText(StandardOutput, "left in the buffer");
  return FaultNamed(Argument(1));
}

int FaultAtStartUp() {
  const char* name = std::getenv("FAULT_PROBE_AT_START_UP");
  return name != nullptr ? FaultNamed(name) : 0;
}

const int startUpFault = FaultAtStartUp();

}  // namespace
}  // namespace kelvane

int main(int argc, char** argv) {
  kelvane::programArguments = argv;
  kelvane::RunProcess(argc, argv, kelvane::FaultOnDemand);
}
