#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runtime/fault_injection.h"
#include "runtime/file_system.h"

namespace kelvane {

const char PathSeparator = '/';

// Directories are read in large batches: one getdents64 call brings a few
// hundred entries.
struct Listing {
  static constexpr std::size_t BufferSize = 32 * 1024;

  char buffer[BufferSize];
  std::size_t pos = 0;
  std::size_t end = 0;
  bool finished = false;
};

namespace {

// The one place that decides what a native error means to the tool.
Status FromErrno(int error) {
  switch (error) {
    case ENOENT:
      return {Outcome::Gone, error};
    case ENOTDIR:
    case ELOOP:   // O_NOFOLLOW met a symbolic link
    case EMLINK:  // the same on some BSDs
      return {Outcome::NotDirectory, error};
    case EISDIR:
      return {Outcome::IsDirectory, error};
    case EXDEV:  // openat2 met a mount point
      return {Outcome::OtherDevice, error};
    default:
      return {Outcome::Failed, error};
  }
}

int Fd(const Directory& dir) { return static_cast<int>(dir.OsHandle); }

// True, with errno set, when the test seam wants this call to fail.
bool Injected(FaultPoint point) {
  const int error = InjectedFault(point);
  if (error != 0) errno = error;
  return error != 0;
}

// Takes ownership of fd and records the directory's identity.
Status Adopt(int fd, const struct stat& st, Directory& out) {
  out = Directory();
  out.OsHandle = fd;
  out.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  out.listing = std::make_unique<Listing>();
  return {};
}

Status FstatAndAdopt(int fd, Directory& out) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    return FromErrno(error);
  }
  return Adopt(fd, st, out);
}

// Opens the directory `name` inside `parentFd` without following a link
// and without crossing into another mount. A bind mount lies on the same
// device as its parent, so only the kernel can tell it: openat2 refuses it
// with EXDEV. Where openat2 is missing (before Linux 5.6) or refused by a
// sandbox, a plain openat is made and the caller compares devices.
int OpenBeneath(int parentFd, const char* name, int flags) {
  static bool haveOpenat2 = true;
  flags |= O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (haveOpenat2) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_XDEV;
    const int fd = static_cast<int>(syscall(SYS_openat2, parentFd, name, &how, sizeof how));
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    if (errno == ENOSYS) haveOpenat2 = false;
  }
  return openat(parentFd, name, flags);
}

// A directory that refuses to be read (mode 0000, say) is opened as a bare
// reference first, so that its mode is changed on exactly the directory
// found there, never through a name that could be swapped meanwhile.
int OpenInaccessible(int parentFd, const char* name) {
  const int ref = OpenBeneath(parentFd, name, O_PATH);
  if (ref < 0) return -1;
  struct stat st;
  int fd = -1;
  if (fstat(ref, &st) == 0) {
    const std::string self = "/proc/self/fd/" + std::to_string(ref);
    if (chmod(self.c_str(), (st.st_mode & 07777) | S_IRWXU) == 0)
      fd = openat(ref, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  const int error = errno;
  close(ref);
  errno = error;
  return fd;
}

// Reads the next raw entry; false at the end or on an error (errno set).
bool ReadRaw(Directory& dir, const struct dirent64*& raw) {
  Listing& l = *dir.listing;
  if (l.pos >= l.end) {
    if (l.finished) {
      errno = 0;
      return false;
    }
    const ssize_t n =
        Injected(FaultPoint::ReadDirectory) ? -1 : getdents64(Fd(dir), l.buffer, sizeof l.buffer);
    if (n <= 0) {
      if (n == 0) errno = 0;
      l.finished = true;
      return false;
    }
    l.pos = 0;
    l.end = static_cast<std::size_t>(n);
  }
  raw = reinterpret_cast<const struct dirent64*>(l.buffer + l.pos);
  l.pos += raw->d_reclen;
  return true;
}

// Only a directory itself carries the directory bit: a link to one is
// reported as a file. POSIX has no hidden, system or archive bits.
std::uint8_t AttributesOf(const Directory& dir, const struct dirent64& raw) {
  unsigned char type = raw.d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(Fd(dir), raw.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) type = DT_DIR;
  }
  return type == DT_DIR ? AttrDirectory : 0;
}

void ReadEntry(Directory& dir, SearchEntry& entry) {
  if (!dir.IsOpen()) {
    SearchStatus = {Outcome::Failed, EBADF};
    return;
  }
  const struct dirent64* raw = nullptr;
  while (ReadRaw(dir, raw)) {
    const std::uint8_t attributes = AttributesOf(dir, *raw);
    if (!PassesFilter(attributes, entry.AttrMask)) continue;
    entry.Attributes = attributes;
    entry.Name.assign(raw->d_name);
    SearchStatus = {};
    return;
  }
  SearchStatus = errno == 0 ? Status{Outcome::NoMoreEntries, 0} : FromErrno(errno);
}

}  // namespace

Directory::Directory() = default;
Directory::Directory(Directory&& other) noexcept
    : OsHandle(other.OsHandle), id(other.id), listing(std::move(other.listing)) {
  other.OsHandle = NoHandle;
}
Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    if (IsOpen()) close(Fd(*this));
    OsHandle = other.OsHandle;
    id = other.id;
    listing = std::move(other.listing);
    other.OsHandle = NoHandle;
  }
  return *this;
}
Directory::~Directory() {
  if (IsOpen()) close(Fd(*this));
}

std::string ErrorText(const Status& status) {
  switch (status.outcome) {
    case Outcome::OtherDevice:
      return "mount point not crossed";
    case Outcome::Moved:
      return "directory was moved during the removal";
    default:
      return std::strerror(status.native);
  }
}

void SearchFirst(Directory& dir, std::uint32_t mask, SearchEntry& entry) {
  entry.AttrMask = mask;
  ReadEntry(dir, entry);
}

void SearchNext(Directory& dir, SearchEntry& entry) { ReadEntry(dir, entry); }

void SearchClose(Directory& dir) {
  SearchStatus = {};
  if (dir.IsOpen() && close(Fd(dir)) != 0) SearchStatus = FromErrno(errno);
  dir.OsHandle = Directory::NoHandle;
  dir.listing.reset();
}

bool EntryExists(const std::string& path) {
  struct stat st;
  return fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

Status OpenDirectory(const std::string& path, Directory& out) {
  const int fd =
      Injected(FaultPoint::OpenDirectory) ? -1 : open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  return FstatAndAdopt(fd, out);
}

Status OpenSubdirectory(Directory& parent, const std::string& name, Directory& out) {
  int fd = Injected(FaultPoint::OpenDirectory) ? -1 : OpenBeneath(Fd(parent), name.c_str(), O_RDONLY);
  if (fd < 0 && errno == EACCES) {
    fd = OpenInaccessible(Fd(parent), name.c_str());
    // The user needs to hear why the directory could not be read, not why
    // its mode could not be changed.
    if (fd < 0 && errno != ENOENT && errno != EXDEV) errno = EACCES;
  }
  if (fd < 0) return FromErrno(errno);

  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    return FromErrno(error);
  }
  if (static_cast<std::uint64_t>(st.st_dev) != parent.id.volume) {
    close(fd);
    return {Outcome::OtherDevice, EXDEV};
  }
  // Emptying a directory needs write and search permission on it; a failure
  // shows later as the entries inside that cannot be removed.
  if ((st.st_mode & S_IRWXU) != S_IRWXU) fchmod(fd, (st.st_mode & 07777) | S_IRWXU);
  return Adopt(fd, st, out);
}

Status OpenParent(Directory& child, const DirectoryId& expected, Directory& out) {
  const int fd =
      Injected(FaultPoint::OpenDirectory) ? -1 : openat(Fd(child), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  Directory parent;
  if (const Status status = FstatAndAdopt(fd, parent); !status.ok()) return status;
  if (!(parent.id == expected)) return {Outcome::Moved, 0};
  out = std::move(parent);
  return {};
}

Status EraseFile(Directory& parent, const std::string& name) {
  if (Injected(FaultPoint::RemoveEntry) || unlinkat(Fd(parent), name.c_str(), 0) != 0)
    return FromErrno(errno);
  return {};
}

Status RemoveDirectory(Directory& parent, const std::string& name) {
  if (Injected(FaultPoint::RemoveEntry) || unlinkat(Fd(parent), name.c_str(), AT_REMOVEDIR) != 0)
    return FromErrno(errno);
  return {};
}

}  // namespace kelvane
