// Preloaded into kelvane by a test: every fchmod takes a tenth of a second,
// so that another thread meets the directory while its mode is changing.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" int fchmod(int fd, mode_t mode) {
  using Call = int (*)(int, mode_t);
  static const auto system = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "fchmod"));
  usleep(100'000);
  return system(fd, mode);
}
