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

// Descriptors are scarce: a run under `ulimit -n 16` still goes through
// trees of any depth.
const std::size_t OpenDirectoryWindow = 4;

// Directories are read in large batches: one getdents64 call brings a few
// hundred entries.
struct Listing {
  static constexpr std::size_t BufferSize = 32 * 1024;

  char buffer[BufferSize];  // left uninitialised: getdents64 fills it
  std::size_t pos = 0;
  std::size_t end = 0;
  bool finished = false;
  bool condemned = false;  // part of a tree being removed: its mode may be opened up
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

// Takes ownership of an open directory descriptor.
Directory Adopt(int fd, bool condemned) {
  Directory dir;
  dir.OsHandle = fd;
  dir.listing.reset(new Listing);
  dir.listing->condemned = condemned;
  return dir;
}

// Opens the directory `name` inside `parentFd` without following a link
// and without crossing into another mount. A bind mount lies on the same
// device as its parent, so only the kernel can tell it: openat2 refuses it
// with EXDEV. Where openat2 is missing (before Linux 5.6) or refused by a
// sandbox, a plain openat is made and the caller compares devices.
int OpenBeneath(int parentFd, const char* name, int flags, bool& mountChecked) {
  static bool haveOpenat2 = true;
  flags |= O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (haveOpenat2) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_XDEV;
    const int fd = static_cast<int>(syscall(SYS_openat2, parentFd, name, &how, sizeof how));
    mountChecked = true;
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    if (errno == ENOSYS) haveOpenat2 = false;
  }
  mountChecked = false;
  return openat(parentFd, name, flags);
}

// A directory that refuses to be read (mode 0000, say) is opened as a bare
// reference first, so that its mode is changed on exactly the directory
// found there, never through a name that could be swapped meanwhile.
int OpenInaccessible(int parentFd, const char* name, bool& mountChecked) {
  const int ref = OpenBeneath(parentFd, name, O_PATH, mountChecked);
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

// Makes a directory writable and searchable to its owner, when it was not;
// false, with errno EACCES, when nothing could be changed.
bool OpenUp(const Directory& dir) {
  struct stat st;
  const bool changed = dir.listing != nullptr && dir.listing->condemned && fstat(Fd(dir), &st) == 0 &&
                       (st.st_mode & S_IRWXU) != S_IRWXU &&
                       fchmod(Fd(dir), (st.st_mode & 07777) | S_IRWXU) == 0;
  errno = EACCES;
  return changed;
}

// Removing an entry needs write and search permission on its directory,
// which a tree being removed may lack; it is asked for only on a refusal,
// so that an ordinary removal costs one call.
Status Unlink(Directory& parent, const std::string& name, int flags) {
  if (Injected(FaultPoint::RemoveEntry)) return FromErrno(errno);
  if (unlinkat(Fd(parent), name.c_str(), flags) == 0) return {};
  if (errno == EACCES && OpenUp(parent) && unlinkat(Fd(parent), name.c_str(), flags) == 0) return {};
  return FromErrno(errno);
}

}  // namespace

void ListingDelete::operator()(Listing* listing) const { delete listing; }

Status Directory::Close() {
  Status status;
  if (IsOpen() && close(Fd(*this)) != 0) status = FromErrno(errno);
  OsHandle = NoHandle;
  listing.reset();
  return status;
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

void SearchNext(Directory& dir, SearchEntry& entry) { ReadEntry(dir, entry); }

bool EntryExists(const std::string& path) {
  struct stat st;
  return fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

Status OpenDirectory(const std::string& path, Directory& out) {
  const int fd =
      Injected(FaultPoint::OpenDirectory) ? -1 : open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  out = Adopt(fd, false);
  return {};
}

Status OpenSubdirectory(Directory& parent, const std::string& name, Directory& out) {
  bool mountChecked = false;
  int fd = Injected(FaultPoint::OpenDirectory)
               ? -1
               : OpenBeneath(Fd(parent), name.c_str(), O_RDONLY, mountChecked);
  if (fd < 0 && errno == EACCES) {
    fd = OpenInaccessible(Fd(parent), name.c_str(), mountChecked);
    // The user needs to hear why the directory could not be read, not why
    // its mode could not be changed.
    if (fd < 0 && errno != ENOENT && errno != EXDEV) errno = EACCES;
  }
  if (fd < 0) return FromErrno(errno);
  Directory child = Adopt(fd, true);
  if (!mountChecked) {
    if (const Status status = IdentifyDirectory(child); !status.ok()) return status;
    if (const Status status = IdentifyDirectory(parent); !status.ok()) return status;
    if (child.id.volume != parent.id.volume) return {Outcome::OtherDevice, EXDEV};
  }
  out = std::move(child);
  return {};
}

Status IdentifyDirectory(Directory& dir) {
  struct stat st;
  if (fstat(Fd(dir), &st) != 0) return FromErrno(errno);
  dir.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return {};
}

Status OpenParent(Directory& child, const DirectoryId& expected, Directory& out) {
  const int fd =
      Injected(FaultPoint::OpenDirectory) ? -1 : openat(Fd(child), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  Directory parent = Adopt(fd, true);
  if (const Status status = IdentifyDirectory(parent); !status.ok()) return status;
  if (!(parent.id == expected)) return {Outcome::Moved, 0};
  out = std::move(parent);
  return {};
}

Status EraseFile(Directory& parent, const std::string& name) { return Unlink(parent, name, 0); }

Status RemoveDirectory(Directory& parent, const std::string& name) {
  return Unlink(parent, name, AT_REMOVEDIR);
}

}  // namespace kelvane
