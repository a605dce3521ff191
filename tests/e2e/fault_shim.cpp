// Preloaded into kelvane by the end-to-end tests: makes chosen calls of
// chosen system calls fail, or take a tenth of a second, as a real system
// does only now and then. FAULT_SHIM lists "call:nth:what" items, separated
// by commas: the nth call of `call` (or every call from the nth on, "nth+")
// fails with the errno number `what`, is delayed when `what` is "delay", or
// for openat2, "swap", meets a link to the directory FAULT_SHIM_LINK where
// its directory was, which is moved aside to ".swapped".
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <string_view>

// Linux 6.6 has it on every architecture under this number; C libraries
// older than the kernel do not name it.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

namespace {

struct Counter {
  std::string_view call;
  std::atomic<int> made = 0;
} counters[] = {{"open"},  {"openat"},    {"openat2"}, {"getdents64"}, {"unlinkat"},
                {"chmod"}, {"fchmodat2"}, {"fchmod"},  {"statx"},      {"name_to_handle_at"}};

// Moves the directory `path` aside and puts a link in its place that leads
// to FAULT_SHIM_LINK relative to `dir`, as a link an attacker makes would
// lead: a relative link meets no mount on its way.
void Swap(int dir, const char* path) {
  char at[4096] = {};
  if (readlink(("/proc/self/fd/" + std::to_string(dir)).c_str(), at, sizeof at - 1) < 0) return;
  std::string target;
  for (const char c : std::string_view(at)) target += c == '/' ? "../" : "";
  if (renameat(dir, path, dir, ".swapped") == 0)
    symlinkat((target + (std::getenv("FAULT_SHIM_LINK") + 1)).c_str(), dir, path);
}

// 0 when this call goes ahead, else the errno it fails with.
int Fault(std::string_view call, int dir = -1, const char* path = nullptr) {
  int nth = 0;
  for (Counter& counter : counters) nth = counter.call == call ? ++counter.made : nth;
  const char* items = std::getenv("FAULT_SHIM");
  for (std::string_view rest = items ? items : ""; !rest.empty();) {
    const std::string_view item = rest.substr(0, rest.find(','));
    rest.remove_prefix(std::min(rest.size(), item.size() + 1));
    char* end = nullptr;
    const long first = std::strtol(item.data() + item.find(':') + 1, &end, 10);
    if (item.substr(0, item.find(':')) != call || (nth != first && !(*end == '+' && nth > first))) continue;
    const std::string_view what = item.substr(item.rfind(':') + 1);
    if (what == "swap") Swap(dir, path);
    if (what == "delay") usleep(100'000);
    if (what != "swap" && what != "delay") return errno = std::atoi(what.data());
  }
  return 0;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Each call fails as Fault() says or is made as the C library makes it.
#define SHIM(result, name, params, args)                    \
  extern "C" result name params {                           \
    static const auto next = Next<result(*) params>(#name); \
    return Fault(#name) ? -1 : next args;                   \
  }
// kelvane opens nothing to create it, so an open passes no mode on.
SHIM(int, open, (const char* path, int flags), (path, flags))
SHIM(int, openat, (int dir, const char* path, int flags), (dir, path, flags))
SHIM(ssize_t, getdents64, (int dir, void* buffer, size_t size), (dir, buffer, size))
SHIM(int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags))
SHIM(int, chmod, (const char* path, mode_t mode), (path, mode))
SHIM(int, fchmod, (int fd, mode_t mode), (fd, mode))
SHIM(int, statx, (int dir, const char* path, int flags, unsigned mask, struct statx* out),
     (dir, path, flags, mask, out))
SHIM(int, name_to_handle_at, (int dir, const char* path, struct file_handle* handle, int* mount, int flags),
     (dir, path, handle, mount, flags))

extern "C" long syscall(long number, ...) {
  va_list rest;
  va_start(rest, number);
  long a[6];
  for (long& arg : a) arg = va_arg(rest, long);
  va_end(rest);
  static const auto next = Next<long (*)(long, ...)>("syscall");
  if (number == SYS_openat2 && Fault("openat2", static_cast<int>(a[0]), reinterpret_cast<const char*>(a[1])))
    return -1;
  if (number == SYS_fchmodat2 && Fault("fchmodat2")) return -1;
  return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
