#include <sched.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "runtime/fault_report.h"
#include "runtime/process.h"
#include "runtime/process_twin.h"

namespace kelvane {

void PrepareProcess() {
  // A reader that goes away, or a file that reaches the size limit, must not
  // kill the run half-way through its removals: the write then fails, and
  // the channel goes quiet.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void EndProcess(int code) { std::exit(code); }

void PrepareThread() { PrepareThreadForFaults(); }

std::size_t UsableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<std::size_t>(count) : 1;
}

std::size_t OpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace kelvane
