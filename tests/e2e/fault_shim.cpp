// Preloaded into kelvane by the end-to-end tests: makes chosen calls of
// chosen system calls fail, or take a tenth of a second, as a real system
// does only now and then. FAULT_SHIM lists "call:nth:what" items, separated
// by commas: the nth call of `call` (or every call from the nth on, "nth+")
// fails with the errno number `what`, is delayed when `what` is "delay", or
// for openat2, "swap", meets a link to the directory FAULT_SHIM_LINK where
// its directory was, which is moved aside to ".swapped"; "note" lets it go
// ahead. A write "short" takes half its bytes, as a disk that fills;
// "other" does too, and then another writer appends a line to the same
// file. FAULT_SHIM_LOG names a file that gets a line "call nth thread" for
// each of these calls, and at the end of the run "directories N", those
// still open.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
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

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

const auto realWrite = Next<ssize_t (*)(int, const void*, size_t)>("write");
const auto realOpen = Next<int (*)(const char*, int, ...)>("open");

struct Counter {
  std::string_view call;
  std::atomic<int> made = 0;
} counters[] = {{"open"},   {"openat"}, {"openat2"},   {"getdents64"}, {"unlinkat"},         {"chmod"},
                {"fchmod"}, {"statx"},  {"fchmodat2"}, {"write"},      {"name_to_handle_at"}};

void Log(const std::string& line) {
  const int fd = realOpen(std::getenv("FAULT_SHIM_LOG"), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd >= 0) realWrite(fd, line.data(), line.size()), close(fd);
}

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

// What happens to this call: "" when it goes ahead as made, else the item's
// `what`. Swaps and delays are made here.
std::string_view Action(std::string_view call, int dir = -1, const char* path = nullptr) {
  int nth = 0;
  for (Counter& counter : counters) nth = counter.call == call ? ++counter.made : nth;
  const char* items = std::getenv("FAULT_SHIM");
  for (std::string_view rest = items ? items : ""; !rest.empty();) {
    const std::string_view item = rest.substr(0, rest.find(','));
    rest.remove_prefix(std::min(rest.size(), item.size() + 1));
    char* end = nullptr;
    const long first = std::strtol(item.data() + item.find(':') + 1, &end, 10);
    if (item.substr(0, item.find(':')) != call || (nth != first && !(*end == '+' && nth > first))) continue;
    Log(std::string(call) + " " + std::to_string(nth) + " " + std::to_string(gettid()) + "\n");
    const std::string_view what = item.substr(item.rfind(':') + 1);
    if (what == "swap") Swap(dir, path);
    if (what == "delay") usleep(100'000);
    if (what != "swap" && what != "delay" && what != "note") return what;
  }
  return {};
}

// -1 with errno set where the call is to fail, else 0.
int Failed(std::string_view what) { return what.empty() ? 0 : (errno = std::atoi(what.data()), -1); }

// Counts the directories left open at the end of a run, this listing's
// own aside.
[[gnu::destructor]] void LogTheEnd() {
  int directories = -1;
  DIR* fds = opendir("/proc/self/fd");
  struct stat st;
  for (dirent* fd; fds && (fd = readdir(fds));)
    directories += fd->d_name[0] != '.' && fstat(std::atoi(fd->d_name), &st) == 0 && S_ISDIR(st.st_mode);
  if (fds) closedir(fds);
  Log("directories " + std::to_string(directories) + "\n");
}

}  // namespace

// Each call fails as Action() says or is made as the C library makes it.
#define SHIM(result, name, params, args)                    \
  extern "C" result name params {                           \
    static const auto next = Next<result(*) params>(#name); \
    return Failed(Action(#name)) ? -1 : next args;          \
  }
// kelvane opens nothing to create it, so an open passes no mode on.
SHIM(int, open, (const char* path, int flags, ...), (path, flags))
SHIM(int, openat, (int dir, const char* path, int flags, ...), (dir, path, flags))
SHIM(ssize_t, getdents64, (int dir, void* buffer, size_t size), (dir, buffer, size))
SHIM(int, chmod, (const char* path, mode_t mode), (path, mode))
SHIM(int, fchmod, (int fd, mode_t mode), (fd, mode))
SHIM(int, statx, (int dir, const char* path, int flags, unsigned mask, struct statx* out),
     (dir, path, flags, mask, out))
SHIM(int, name_to_handle_at, (int dir, const char* path, struct file_handle* handle, int* mount, int flags),
     (dir, path, handle, mount, flags))
SHIM(int, unlinkat, (int dir, const char* path, int flags), (dir, path, flags))

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
  const std::string_view what = Action("write");
  if (what != "short" && what != "other") return Failed(what) ? -1 : realWrite(fd, bytes, count);
  const ssize_t written = realWrite(fd, bytes, count / 2);
  const int other =
      what == "other" ? realOpen(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_APPEND) : -1;
  if (other >= 0) realWrite(other, "other line\n", 11), close(other);
  return written;
}

extern "C" long syscall(long number, ...) {
  va_list rest;
  va_start(rest, number);
  long a[6];
  for (long& arg : a) arg = va_arg(rest, long);
  va_end(rest);
  static const auto next = Next<long (*)(long, ...)>("syscall");
  if (number == SYS_openat2 &&
      Failed(Action("openat2", static_cast<int>(a[0]), reinterpret_cast<const char*>(a[1]))))
    return -1;
  if (number == SYS_fchmodat2 && Failed(Action("fchmodat2"))) return -1;
  return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
