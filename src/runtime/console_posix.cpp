#include <unistd.h>

#include <cerrno>
#include <string>

#include "runtime/console.h"

namespace kelvane {

const std::string_view LineEnd = "\n";

namespace {

int WriteAll(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = write(fd, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return 0;
}

int TransferToStandardOutput(const char* bytes, std::size_t count) {
  return WriteAll(STDOUT_FILENO, bytes, count);
}

}  // namespace

void BindStandardOutput() { StandardOutput.transfer = TransferToStandardOutput; }

void WriteErrorLine(std::string_view text) {
  std::string line(text);
  line += LineEnd;
  WriteAll(STDERR_FILENO, line.data(), line.size());
}

}  // namespace kelvane
