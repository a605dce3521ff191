// Stands in for kelvane in the fault report's tests: the same start-up and
// end, with a main routine that faults as its first argument says. Before
// it faults it ends one write statement and leaves a second one open.
// FAULT_PROBE_AT_START_UP names a fault to happen during start-up instead.
#include "runtime/fault_probe.h"

#include <cfenv>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <thread>

#include "runtime/arguments.h"
#include "runtime/console.h"
#include "runtime/fault_report.h"
#include "runtime/process.h"

namespace kelvane::probe {

char** programArguments = nullptr;

namespace {

// Volatile, so that the compiler cannot see what the faults will meet.
int* volatile nowhere = nullptr;
volatile int dividend = 7, zero = 0;
volatile double tiny = 1e-300, huge = 1e300, floatZero = 0.0, three = 3.0;
volatile std::size_t unsatisfiable = SIZE_MAX - 4096;

[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  return depth == zero - 1 ? 0 : Recurse(depth + 1) + frame[0];
}

// Overflows the stack of a thread started as the removal starts its helpers.
int RecurseOnThread() {
  std::thread([] { PrepareThreadForFaults(), Recurse(0); }).join();
  return 0;
}

int FloatTrap(int exceptions, double (*compute)()) {
  EnableFloatTraps(exceptions);
  // Stored as a double: the x87 unit of a 32-bit build computes in a wider
  // format, in which the products would neither overflow nor underflow.
  const volatile double result = compute();
  return result > 0;
}

const NamedFault CommonFaults[] = {
    {"read", [] { return *nowhere; }},
    {"write", [] { return *nowhere = 1, 0; }},
    {"divide", [] { return dividend / zero; }},
    {"recurse", [] { return Recurse(0); }},
    {"recurse-on-thread", RecurseOnThread},
    {"allocate", [] { return int{*static_cast<volatile char*>(::operator new(unsatisfiable))}; }},
    {"float-divide", [] { return FloatTrap(FE_DIVBYZERO, [] { return 1.0 / floatZero; }); }},
    {"float-overflow", [] { return FloatTrap(FE_OVERFLOW, [] { return huge * huge; }); }},
    {"float-underflow", [] { return FloatTrap(FE_UNDERFLOW, [] { return tiny * tiny; }); }},
    {"float-invalid", [] { return FloatTrap(FE_INVALID, [] { return floatZero / floatZero; }); }},
    {"float-inexact", [] { return FloatTrap(FE_INEXACT, [] { return 1.0 / three; }); }},
    {"illegal", [] { return __builtin_trap(), 0; }},
    {"abort", [] { return std::abort(), 0; }},
};

int FaultNamed(std::string_view name) {
  for (const auto faults : {std::span<const NamedFault>(CommonFaults), PlatformFaults()})
    for (const NamedFault& entry : faults)
      if (entry.name == name) return entry.fault();
  return -1;
}

int FaultOnDemand() {
  WriteText(StandardOutput, "written before the fault");
  WriteLineEnd(StandardOutput);
  WriteText(StandardOutput, "left in the buffer");
  return FaultNamed(Argument(1));
}

const char* const startUpFault = std::getenv("FAULT_PROBE_AT_START_UP");
const int startUpResult = startUpFault != nullptr ? FaultNamed(startUpFault) : 0;

}  // namespace
}  // namespace kelvane::probe

int main(int argc, char** argv) {
  kelvane::probe::programArguments = argv;
  kelvane::RunProcess(argc, argv, kelvane::probe::FaultOnDemand);
}
