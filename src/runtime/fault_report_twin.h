// Between fault_report.cpp and the platform twin of the fault report: the
// end of a fault, which the twin supplies, and the handling of a
// std::bad_alloc that nothing catches, which needs it. Nothing else
// includes this.
#pragma once

namespace kelvane {

struct Fault;

// Reports the fault as a fault of the run, or during start-up writes the
// run-time error line, and ends the process at once; safe inside a signal
// handler and inside std::terminate. A fault on the way gives no second
// report.
[[noreturn]] void EndFault(const Fault& fault);

// Has std::terminate end with EndFault where the exception that nothing
// caught is a std::bad_alloc. The twin's start-up handling calls it, before
// any other static initialiser runs.
void InstallTerminateHandler();

}  // namespace kelvane
