#include <cfenv>
#include <csignal>

#include "runtime/fault_probe.h"

namespace kelvane::probe {
namespace {

int* volatile nowhere = nullptr;

const NamedFault Faults[] = {
    // The report looks up the module of the fault address, and the
    // program's module carries the name it was started under.
    {"in-report", [] { return programArguments[0] = reinterpret_cast<char*>(8), *nowhere; }},
    {"trap", [] { return std::raise(SIGTRAP); }},
    {"bad-system-call", [] { return std::raise(SIGSYS); }},
    {"interrupt", [] { return std::raise(SIGINT); }},
    {"terminate", [] { return std::raise(SIGTERM); }},
    {"hang-up", [] { return std::raise(SIGHUP); }},
};

}  // namespace

void EnableFloatTraps(int exceptions) { feenableexcept(exceptions); }

std::span<const NamedFault> PlatformFaults() { return Faults; }

}  // namespace kelvane::probe
