#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "runtime/file_system.h"

// Linux 6.6 has it on every architecture under this number; C libraries
// older than the kernel do not name it.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

namespace kelvane {

const char PathSeparator = '/';

// Descriptors are scarce: a run under `ulimit -n 16` still goes through
// trees of any depth.
const std::size_t OpenDirectoryWindow = 4;

// Whether the owner of a directory has read, write and search permission
// on it: refused, given by this run, or had before.
enum class OwnerAccess : std::uint8_t { Refused, Given, Had };

// Directories are read in large batches: one getdents64 call brings a few
// hundred entries.
struct Listing {
  static constexpr std::size_t BufferSize = 32 * 1024;
  // The shortest record getdents64 gives is 24 bytes: its header, a name of
  // one byte and the name's end, rounded up to 8.
  static constexpr std::size_t MostRecords = BufferSize / 24;

  char buffer[BufferSize];  // left uninitialised: getdents64 fills it
  // Where each record of the batch starts in the buffer, in the order the
  // records are taken.
  std::uint16_t order[MostRecords];
  std::size_t count = 0;                    // records in the batch
  std::size_t next = 0;                     // the next of them to take
  SearchPosition batchStart = SearchStart;  // where the batch was read from
  SearchPosition batchEnd = SearchStart;    // where the next batch starts
  bool finished = false;
  // The search began at a position, or has read more than one batch: a
  // search opened again would read past entries to come back here.
  bool pastFirstRead = false;
  // Part of a tree being removed, so that its mode may be opened up to its
  // owner, once. Threads that remove entries of the same directory share
  // this listing.
  bool condemned = false;
  std::mutex openingUp;  // held while the mode is being changed; guards what follows
  bool triedOpenUp = false;
  OwnerAccess access = OwnerAccess::Refused;  // what the first try found
};

namespace {

// The one place that decides what a native error means to the tool.
Status FromErrno(int error) {
  switch (error) {
    case ENOENT:
      return {Outcome::Gone, error};
    case ENOTDIR:
    case ELOOP:  // O_NOFOLLOW met a symbolic link
    // Too many links: no call made here gets it from Linux's own file
    // systems, but a FUSE file system hands on its server's answer as it
    // is. Taken for a link too, so that the entry is tried as a file.
    case EMLINK:
      return {Outcome::NotDirectory, error};
    case EISDIR:
      return {Outcome::IsDirectory, error};
    case EXDEV:  // openat2 met a mount point
      return {Outcome::OtherDevice, error};
    case EROFS:
      return {Outcome::ReadOnly, error};
    default:
      return {Outcome::Failed, error};
  }
}

int Fd(const Directory& dir) { return static_cast<int>(dir.OsHandle); }

// Takes ownership of an open directory descriptor.
Directory Adopt(int fd, bool condemned) {
  Directory dir;
  dir.OsHandle = fd;
  dir.listing.reset(new Listing);
  dir.listing->condemned = condemned;
  return dir;
}

// Ways of reading the mount a descriptor lies on, from the newest kernels
// to the oldest; each answers false where the kernel does not.
bool MountIdByStatx(int fd, std::uint64_t& id) {
  struct statx st;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) != 0 || !(st.stx_mask & STATX_MNT_ID)) return false;
  id = st.stx_mnt_id;
  return true;
}

bool MountIdByHandle(int fd, std::uint64_t& id) {
  alignas(file_handle) unsigned char buffer[sizeof(file_handle) + MAX_HANDLE_SZ];
  auto* handle = reinterpret_cast<file_handle*>(buffer);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mount = 0;
  if (name_to_handle_at(fd, "", handle, &mount, AT_EMPTY_PATH) != 0) return false;
  id = static_cast<std::uint64_t>(mount);
  return true;
}

bool MountIdByFdinfo(int fd, std::uint64_t& id) {
  const std::string path = "/proc/self/fdinfo/" + std::to_string(fd);
  const int info = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (info < 0) return false;
  char text[1024];
  const ssize_t n = read(info, text, sizeof text - 1);
  close(info);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* field = std::strstr(text, "mnt_id:");
  if (field == nullptr) return false;
  id = std::strtoull(field + std::strlen("mnt_id:"), nullptr, 10);
  return true;
}

enum class Mount : std::uint8_t { Same, Other, Unknown };

// Tells whether `fd` lies on the mount of `parentFd`. A bind mount lies on
// the same device as its parent, so only the mount ids tell it; both are
// read the same way, the first that answers for both.
Mount CompareMounts(int parentFd, int fd) {
  using Reader = bool (*)(int, std::uint64_t&);
  for (const Reader read : {MountIdByStatx, MountIdByHandle, MountIdByFdinfo}) {
    std::uint64_t parentId = 0, id = 0;
    if (read(parentFd, parentId) && read(fd, id)) return parentId == id ? Mount::Same : Mount::Other;
  }
  return Mount::Unknown;
}

// Opens the directory `name` inside `parentFd` without following a link
// and without crossing into another mount. openat2 has the kernel refuse a
// mount point during the open. Where it is missing (before Linux 5.6) or
// refused by a sandbox, a plain openat is made and the mounts compared
// after it; a directory whose mount cannot be told is not entered.
Status OpenBeneath(int parentFd, const char* name, int flags, int& fd) {
  static std::atomic<bool> haveOpenat2 = true;
  flags |= O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (haveOpenat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_XDEV;
    fd = static_cast<int>(syscall(SYS_openat2, parentFd, name, &how, sizeof how));
    if (fd >= 0) return {};
    if (errno != ENOSYS && errno != EPERM) return FromErrno(errno);
    if (errno == ENOSYS) haveOpenat2.store(false, std::memory_order_relaxed);
  }
  fd = openat(parentFd, name, flags);
  if (fd < 0) return FromErrno(errno);
  const Mount mount = CompareMounts(parentFd, fd);
  if (mount == Mount::Same) return {};
  close(fd);
  fd = -1;
  return mount == Mount::Other ? Status{Outcome::OtherDevice, EXDEV} : Status{Outcome::MountUnknown, 0};
}

// Gives the owner read, write and search permission on a directory held by
// a bare reference. fchmodat2 (Linux 6.6) changes the reference itself;
// before it only the reference's name under /proc can, which a chroot or a
// container may lack.
bool GrantOwnerThrough(int ref) {
  struct stat st;
  if (fstat(ref, &st) != 0) return false;
  const mode_t mode = (st.st_mode & 07777) | S_IRWXU;
  if (syscall(SYS_fchmodat2, ref, "", mode, AT_EMPTY_PATH) == 0) return true;
  const std::string self = "/proc/self/fd/" + std::to_string(ref);
  return chmod(self.c_str(), mode) == 0;
}

// A directory that refuses to be read (mode 0000, say) is opened as a bare
// reference first, on the same mount as its parent, so that its mode is
// changed on exactly the directory found there, never through a name that
// could be swapped meanwhile. Where its mode cannot be changed, it stays
// unreadable, and the user hears that.
Status OpenInaccessible(int parentFd, const char* name, int& fd) {
  int ref = -1;
  if (const Status opened = OpenBeneath(parentFd, name, O_PATH, ref); !opened.ok()) return opened;
  Status status{Outcome::Failed, EACCES};
  if (GrantOwnerThrough(ref)) {
    fd = openat(ref, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    status = fd >= 0 ? Status{} : FromErrno(errno);
  }
  close(ref);
  return status;
}

const struct dirent64& RecordAt(const Listing& l, std::size_t offset) {
  return *reinterpret_cast<const struct dirent64*>(l.buffer + offset);
}

// Indexes the batch of `size` bytes that getdents64 just read. A tree being
// removed is emptied batch by batch in the order of its inode numbers:
// ext4 lists a directory in the order of its names' hashes, but keeps the
// names in its blocks, and the inodes in their table, in the order they
// were made, which inode numbers mostly follow. So each name removed is
// found at the front of what is left of its block, and the inodes removed
// one after another share blocks of the inode table.
void IndexBatch(Listing& l, std::size_t size) {
  l.count = l.next = 0;
  for (std::size_t at = 0; at < size && l.count < Listing::MostRecords; at += RecordAt(l, at).d_reclen) {
    l.order[l.count++] = static_cast<std::uint16_t>(at);
    l.batchEnd = static_cast<SearchPosition>(RecordAt(l, at).d_off);
  }
  if (!l.condemned) return;
  std::sort(l.order, l.order + l.count,
            [&l](std::uint16_t a, std::uint16_t b) { return RecordAt(l, a).d_ino < RecordAt(l, b).d_ino; });
}

// Reads the next raw entry; false at the end or on an error (errno set).
bool ReadRaw(Directory& dir, const struct dirent64*& raw) {
  Listing& l = *dir.listing;
  if (l.next >= l.count) {
    if (l.finished) {
      errno = 0;
      return false;
    }
    const ssize_t n = getdents64(Fd(dir), l.buffer, sizeof l.buffer);
    if (n <= 0) {
      if (n == 0) errno = 0;
      l.finished = true;
      return false;
    }
    l.pastFirstRead = l.pastFirstRead || l.count > 0;
    l.batchStart = l.batchEnd;
    IndexBatch(l, static_cast<std::size_t>(n));
  }
  raw = &RecordAt(l, l.order[l.next++]);
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
    entry.Position = dir.listing->pastFirstRead ? dir.listing->batchStart : SearchStart;
    SearchStatus = {};
    return;
  }
  SearchStatus = errno == 0 ? Status{Outcome::NoMoreEntries, 0} : FromErrno(errno);
}

// Gives the owner read, write and search permission on an open directory.
OwnerAccess GrantOwner(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return OwnerAccess::Refused;
  if ((st.st_mode & S_IRWXU) == S_IRWXU) return OwnerAccess::Had;
  return fchmod(fd, (st.st_mode & 07777) | S_IRWXU) == 0 ? OwnerAccess::Given : OwnerAccess::Refused;
}

// Makes a directory of a tree being removed writable and searchable to its
// owner, once a directory, as a second try would change nothing. A thread
// that comes while another changes the mode waits for that to take effect
// and is told what it came to, so that both try their calls once more.
OwnerAccess OpenUp(Directory& dir) {
  Listing* listing = dir.listing.get();
  if (listing == nullptr || !listing->condemned) return OwnerAccess::Refused;
  std::lock_guard lock(listing->openingUp);
  if (!std::exchange(listing->triedOpenUp, true)) listing->access = GrantOwner(Fd(dir));
  return listing->access;
}

// Removing an entry needs write and search permission on its directory,
// which a tree being removed may lack; it is asked for only on a refusal,
// so that an ordinary removal costs one call.
Status Unlink(Directory& parent, const std::string& name, int flags) {
  if (unlinkat(Fd(parent), name.c_str(), flags) == 0) return {};
  const int error = errno;
  // Where the owner had every permission already, another handle on the
  // same directory may have just given them: one more try tells.
  if (error == EACCES && OpenUp(parent) != OwnerAccess::Refused)
    return unlinkat(Fd(parent), name.c_str(), flags) == 0 ? Status{} : FromErrno(errno);
  return FromErrno(error);
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
    case Outcome::MountUnknown:
      return "not entered: cannot tell whether it is a mount point";
    case Outcome::Moved:
      return "directory was moved during the removal";
    default:
      return std::strerror(status.native);
  }
}

void SearchNext(Directory& dir, SearchEntry& entry) { ReadEntry(dir, entry); }

// A directory just opened is read from its beginning without a seek. Linux
// gives every entry the position of the next as its d_off; as a batch is
// taken out of that order, its entries give the position it was read from.
void SearchFrom(Directory& dir, std::uint32_t mask, SearchPosition position, SearchEntry& entry) {
  entry.AttrMask = mask;
  if (dir.IsOpen()) {
    Listing& l = *dir.listing;
    if (position != SearchStart || l.count > 0 || l.finished) {
      if (lseek(Fd(dir), static_cast<off_t>(position), SEEK_SET) < 0) {
        SearchStatus = FromErrno(errno);
        return;
      }
      l.count = l.next = 0;
      l.batchStart = l.batchEnd = position;
      l.finished = false;
      l.pastFirstRead = position != SearchStart;
    }
  }
  ReadEntry(dir, entry);
}

bool EntryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

Status OpenDirectory(const std::string& path, Directory& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  out = Adopt(fd, false);
  return {};
}

Status OpenSubdirectory(Directory& parent, const std::string& name, Directory& out) {
  int fd = -1;
  Status status = OpenBeneath(Fd(parent), name.c_str(), O_RDONLY, fd);
  // A directory of the tree that may be listed but not searched refuses to
  // open any subdirectory: it is opened up itself first. Where its owner had
  // every permission, the subdirectory itself refuses: see below.
  if (status.native == EACCES && OpenUp(parent) == OwnerAccess::Given)
    status = OpenBeneath(Fd(parent), name.c_str(), O_RDONLY, fd);
  if (status.native == EACCES) status = OpenInaccessible(Fd(parent), name.c_str(), fd);
  if (!status.ok()) return status;
  out = Adopt(fd, true);
  return {};
}

Status IdentifyDirectory(Directory& dir) {
  struct stat st;
  if (fstat(Fd(dir), &st) != 0) return FromErrno(errno);
  dir.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return {};
}

Status OpenParent(Directory& child, const DirectoryId& expected, Directory& out) {
  const int fd = openat(Fd(child), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
