#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "runtime/console.h"

namespace kelvane {

const std::string_view LineEnd = "\n";

namespace {

// Bytes of the line standard output is in that have reached the system:
// where that line cannot be written whole, they are taken back.
std::size_t lineWritten = 0;

// Writes every byte, however many calls it takes; on a failure `count`
// keeps the number of bytes written before it.
int WriteAll(int fd, const char* bytes, std::size_t& count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = write(fd, bytes + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      count = done;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

void NoteWritten(const char* bytes, std::size_t count) {
  const std::string_view text(bytes, count);
  const std::size_t end = text.rfind('\n');
  lineWritten = end == std::string_view::npos ? lineWritten + count : count - end - 1;
}

// A disk that fills during the run takes part of a line. Where standard
// output is a regular file that ends with that part, the file is cut back
// to the line's start, so that a reader finds whole lines and nothing else.
// A file that others wrote to since is left as it is.
void TakeBackLine() {
  struct stat st;
  const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
  const auto written = static_cast<off_t>(lineWritten);
  if (written == 0 || end < written || fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size != end)
    return;
  if (ftruncate(STDOUT_FILENO, end - written) == 0) lseek(STDOUT_FILENO, end - written, SEEK_SET);
}

int TransferToStandardOutput(const char* bytes, std::size_t count) {
  std::size_t written = count;
  const int error = WriteAll(STDOUT_FILENO, bytes, written);
  NoteWritten(bytes, written);
  if (error != 0) TakeBackLine();
  return error;
}

}  // namespace

void BindStandardOutput() {
  StandardOutput.transfer = TransferToStandardOutput;
  lineWritten = 0;
}

void TransferErrorLine(std::string_view line) {
  std::size_t count = line.size();
  WriteAll(STDERR_FILENO, line.data(), count);
}

}  // namespace kelvane
