#include <cfenv>
#include <csignal>

#include "runtime/fault_probe.h"

namespace kelvane::probe {
namespace {

int Raise(int signal) { return std::raise(signal); }

const NamedFault Faults[] = {
    // The report looks up the module of the fault address, and the
    // program's module carries the name it was started under.
    {"in-report",
     [] {
       programArguments[0] = reinterpret_cast<char*>(8);
       int* volatile nowhere = nullptr;
       return *nowhere;
     }},
    {"trap", [] { return Raise(SIGTRAP); }},
    {"bad-system-call", [] { return Raise(SIGSYS); }},
    {"interrupt", [] { return Raise(SIGINT); }},
    {"terminate", [] { return Raise(SIGTERM); }},
    {"hang-up", [] { return Raise(SIGHUP); }},
};

}  // namespace

void EnableFloatTraps(int exceptions) { feenableexcept(exceptions); }

std::span<const NamedFault> PlatformFaults() { return Faults; }

}  // namespace kelvane::probe
