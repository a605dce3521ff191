#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/console.h"

namespace kelvane {

const std::string_view LineEnd = "\n";

namespace {

int Descriptor(Stream stream) { return stream == Stream::Output ? STDOUT_FILENO : STDERR_FILENO; }

int TransferToStandardOutput(const char* bytes, std::size_t count) {
  bool torn = false;
  return WriteWhole(Stream::Output, std::string_view(bytes, count), torn);
}

}  // namespace

std::size_t WriteSome(Stream stream, std::string_view bytes, int& error) {
  ssize_t written = 0;
  do {
    written = write(Descriptor(stream), bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    error = errno;
    return 0;
  }
  if (static_cast<std::size_t>(written) < bytes.size()) error = ENOSPC;
  return static_cast<std::size_t>(written);
}

// Right after the write, a file that still ends where the write left its
// offset ends with the bytes it took: another writer that appended since
// has moved the end past that offset. (One that shares this very open file
// moves the offset too; only its write in the moment between the two
// calls could go unseen.)
Tail TakeBack(Stream stream, std::size_t count) {
  const int fd = Descriptor(stream);
  const off_t end = lseek(fd, 0, SEEK_CUR);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Tail::NotAFile;
  const off_t start = end - static_cast<off_t>(count);
  if (end < 0 || start < 0 || st.st_size != end || ftruncate(fd, start) != 0) return Tail::Left;
  lseek(fd, start, SEEK_SET);
  return Tail::TakenBack;
}

bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  struct stat st;
  return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && fstat(STDERR_FILENO, &st) == 0 &&
         device == st.st_dev && inode == st.st_ino;
}

void BindStandardOutput() { StandardOutput.transfer = TransferToStandardOutput; }

void TransferErrorLine(std::string_view line, bool& torn) { WriteWhole(Stream::Error, line, torn); }

}  // namespace kelvane
