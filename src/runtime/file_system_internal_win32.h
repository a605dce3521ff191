// What the files of the Win32 file system backend share, and no other file
// includes. Each of those files does one job:
//   entry_open_win32.cpp         opening an entry inside an open directory,
//                                and the checks that keep the run inside
//                                the archive (read it first: its head says
//                                what can change under a run)
//   directory_listing_win32.cpp  reading a directory in batches
//   entry_removal_win32.cpp      dispositions and the read-only bit
//   error_map_win32.cpp          native errors as the tool takes them
//   file_system_win32.cpp        the path the user names, and the life of
//                                an open directory's handle
// The system calls a test may answer for are in file_system_seam_win32.h.
#pragma once

#include <memory>
#include <string>

#include "runtime/file_system_seam_win32.h"

// The NT status of the thread's latest failed call, kept beside its Win32
// code; MinGW's headers lack it.
extern "C" NTSTATUS NTAPI RtlGetLastNtStatus();

namespace kelvane {

// Spelled out here: MinGW's headers offer these status codes only in a
// header that clashes with windows.h.
inline constexpr NTSTATUS StatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
inline constexpr NTSTATUS StatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);
inline constexpr NTSTATUS StatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
inline constexpr NTSTATUS StatusCannotDelete = static_cast<NTSTATUS>(0xC0000121);
inline constexpr NTSTATUS StatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);

// The code given to an entry whose handle leads elsewhere than its name:
// ERROR_STOPPED_ON_SYMLINK, which MinGW's headers lack.
inline constexpr DWORD LeadsElsewhere = 681;

// Directories are read in large batches through their open handle.
struct Listing {
  static constexpr std::size_t BufferSize = 32 * 1024;

  // Records read and not yet handed out. The buffer goes once they are all
  // out, so that the open ancestors of a deep walk hold none.
  std::unique_ptr<unsigned char[]> buffer;
  const unsigned char* next = nullptr;  // the next record in the buffer; null when it is used up
  bool finished = false;
  DWORD error = ERROR_NO_MORE_FILES;  // why the listing ended
  // Some redirectors and file-system drivers list no file ids: they are
  // read in a class without them, and every entry is checked by its name.
  FILE_INFORMATION_CLASS kind = FileIdBothDirectoryInformation;

  // What follows is guarded: another thread may remove an entry here (the
  // last of a subtree handed to it) while the walker reads on.
  SRWLOCK lock = SRWLOCK_INIT;
  // The entry handed out last, as the listing showed it: the walk opens
  // that one next. ReadEntry writes these as it hands an entry out; the
  // identity guard (IsListedDirectory, entry_open_win32.cpp) relies on
  // them, read through LastHandedOut, to take a directory on the
  // listing's word: they must pair a name with the id and bits the
  // listing showed for it.
  std::wstring lastName;
  LONGLONG lastId = 0;
  DWORD lastAttributes = 0;
  std::wstring name;  // the directory's full name, read where a check needs it
};

// The entry `listing` handed out last, where that is the one named `name`:
// its file id (0 where the listing shows none) and attribute bits as the
// listing showed them. False for any other name.
bool LastHandedOut(Listing& listing, const std::wstring& name, LONGLONG& id, DWORD& attributes);

// Holds a listing's lock while it lives.
class Guard {
 public:
  explicit Guard(Listing& listing) : lock_(listing.lock) { AcquireSRWLockExclusive(&lock_); }
  ~Guard() { ReleaseSRWLockExclusive(&lock_); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  SRWLOCK& lock_;
};

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

inline HANDLE Handle(const Directory& dir) { return reinterpret_cast<HANDLE>(dir.OsHandle); }

// Takes ownership of an open directory, with a listing not yet read.
void Adopt(OwnedHandle handle, Directory& out);

// The one place that decides what a native error means to the tool.
Status FromWin32(DWORD error);
Status FromNtStatus(NTSTATUS status);
Status LastError();

// Windows before 10 (1809), file systems without POSIX semantics, and Wine
// refuse a disposition with those semantics so; drivers refuse a directory
// listing class they lack alike.
bool IsRefusedOutright(const Status& status);

// Virus scanners and indexers hold files for moments: an attempt refused
// for such a reason is made again a few times, some tens of milliseconds
// in all.
template <typename Attempt>
Status Retried(Attempt attempt) {
  constexpr DWORD LongestWait = 16;
  for (DWORD wait = 1;; wait *= 2) {
    const Status status = attempt();
    const bool passing = status.native == ERROR_SHARING_VIOLATION || status.native == ERROR_DIR_NOT_EMPTY;
    if (!passing || wait > LongestWait) return status;
    Sleep(wait);
  }
}

// One entry opened relative to its parent, never through a link at its end.
struct OpenedEntry {
  OwnedHandle handle;
  FILE_ATTRIBUTE_TAG_INFO info = {};  // its attribute bits and reparse tag
  bool listed = false;                // the very directory its parent's listing showed
};

// Opens `name` relative to `parent` (an absolute NT path where `parent` is
// null), never through a link at its end.
Status OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG options,
                    OwnedHandle& out);

// Opens an entry the parent's listing named, and checks that the handle
// leads to that entry and nowhere else; on failure `out` holds no handle.
Status OpenEntry(Directory& parent, const std::string& name, ACCESS_MASK access, ULONG options,
                 OpenedEntry& out);

// Reads the full name of an open file or directory as the system resolved
// it into `out`.
Status QueryName(HANDLE handle, std::wstring& out);

// True for a directory that is no link to another one.
bool IsPlainDirectory(const FILE_ATTRIBUTE_TAG_INFO& info);

}  // namespace kelvane
