#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cfenv>
#include <csignal>

#include "runtime/fault_probe.h"

namespace kelvane::probe {
namespace {

int* volatile nowhere = nullptr;

// Waits for a signal that a child of its own queues, naming the probe as
// its sender, as any process may; the end by that signal leaves no core
// file behind.
int SentFromOutside(int signal) {
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  siginfo_t info{};
  info.si_signo = signal, info.si_code = SI_QUEUE, info.si_pid = getpid();
  if (fork() == 0) syscall(SYS_rt_sigqueueinfo, getppid(), signal, &info), _exit(0);
  for (;;) pause();
}

const NamedFault Faults[] = {
    // The report looks up the module of the fault address, and the
    // program's module carries the name it was started under.
    {"in-report", [] { return programArguments[0] = reinterpret_cast<char*>(8), *nowhere; }},
    {"trap", [] { return std::raise(SIGTRAP); }},
    {"bad-system-call", [] { return std::raise(SIGSYS); }},
    {"interrupt", [] { return std::raise(SIGINT); }},
    {"terminate", [] { return std::raise(SIGTERM); }},
    {"hang-up", [] { return std::raise(SIGHUP); }},
    {"sent-segv", [] { return SentFromOutside(SIGSEGV); }},
};

}  // namespace

void EnableFloatTraps(int exceptions) { feenableexcept(exceptions); }

std::span<const NamedFault> PlatformFaults() { return Faults; }

}  // namespace kelvane::probe
