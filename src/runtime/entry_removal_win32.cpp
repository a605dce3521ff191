// Removing an entry inside an open directory: the dispositions, POSIX and
// classic, and the read-only bit that the classic one must clear first.
#include <string>

#include "runtime/file_system_internal_win32.h"
#include "runtime/wide_text.h"

namespace kelvane {
namespace {

// Spelled out here: MinGW's headers offer the disposition values only to
// builds for the newest Windows (the tool asks for them everywhere and falls
// back where they are refused).
constexpr auto FileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DispositionDelete = 0x01;
constexpr DWORD DispositionPosixSemantics = 0x02;
constexpr DWORD DispositionIgnoreReadOnly = 0x10;

// The attribute bits a handle may set; FILE_BASIC_INFO takes no others.
constexpr DWORD SettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                     FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// POSIX semantics take the name away at once, even while others still
// hold the entry open, and pass over the read-only bit. Windows 10 before
// version 1809 knows them but not the flag for the bit, and refuses a
// read-only entry as one it cannot delete: that counts as refused outright,
// so that the classic way clears the bit first.
Status DisposePosix(HANDLE entry) {
  DWORD flags = DispositionDelete | DispositionPosixSemantics | DispositionIgnoreReadOnly;
  if (SetInformationCall(entry, FileDispositionInfoEx, &flags, sizeof flags)) return {};
  const bool cannotDelete =
      GetLastError() == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == StatusCannotDelete;
  return cannotDelete ? FromWin32(ERROR_NOT_SUPPORTED) : LastError();
}

// Sets the attribute bits of an entry opened to change them.
Status WriteAttributes(HANDLE entry, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes & (SettableAttributes | FILE_ATTRIBUTE_DIRECTORY);
  // None at all would leave the bits as they are.
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!SetInformationCall(entry, FileBasicInfo, &basic, sizeof basic)) return LastError();
  return {};
}

// The classic disposition refuses an entry with the read-only bit, and only
// that one: it goes first, through a handle that may change attributes.
// Only such an entry asks for that right, which an account allowed to
// delete an entry may well lack. `entry.info` keeps the bits it had.
Status ClearReadOnly(Directory& parent, const std::string& name, ULONG options, OpenedEntry& entry) {
  if (!(entry.info.FileAttributes & FILE_ATTRIBUTE_READONLY)) return {};
  entry = OpenedEntry();
  const Status opened =
      OpenEntry(parent, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, options, entry);
  if (!opened.ok()) return opened;
  return WriteAttributes(entry.handle.get(), entry.info.FileAttributes & ~FILE_ATTRIBUTE_READONLY);
}

// The name stays until the last handle on the entry is closed.
Status DisposeClassic(HANDLE entry) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (!SetInformationCall(entry, FileDispositionInfo, &disposition, sizeof disposition)) return LastError();
  return {};
}

// True when the file has a name beside the one being removed (a hard link).
bool HasOtherNames(HANDLE entry) {
  FILE_STANDARD_INFO standard;
  return GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard) &&
         standard.NumberOfLinks > 1;
}

// The classic disposition, the read-only bit cleared first where it stands
// in the way. The bit belongs to the file, not to its name: an entry that
// stays gets it back, and so does a file that keeps another name (a hard
// link outside, made by a backup), through the handle before it closes.
Status DisposeClearingReadOnly(Directory& parent, const std::string& name, ULONG options,
                               OpenedEntry& entry) {
  if (const Status cleared = ClearReadOnly(parent, name, options, entry); !cleared.ok()) return cleared;
  const bool readOnly = entry.info.FileAttributes & FILE_ATTRIBUTE_READONLY;
  const bool named = readOnly && HasOtherNames(entry.handle.get());
  const Status disposed = DisposeClassic(entry.handle.get());
  if (readOnly && (named || !disposed.ok())) WriteAttributes(entry.handle.get(), entry.info.FileAttributes);
  return disposed;
}

// Removes a file or a link (`options` 0) or an empty directory
// (FILE_DIRECTORY_FILE) inside an open directory, a link never through
// its target. Each attempt opens the entry anew: Wine takes a second
// disposition on one handle as done even where the first found the
// directory not empty.
Status Remove(Directory& parent, const std::string& name, ULONG options) {
  return Retried([&] {
    OpenedEntry entry;
    const Status opened = OpenEntry(parent, name, DELETE | FILE_READ_ATTRIBUTES, options, entry);
    if (!opened.ok()) return opened;
    // A directory that is no link is emptied first. The code is the one
    // Windows gives when a directory is erased as a file.
    if (options == 0 && IsPlainDirectory(entry.info))
      return Status{Outcome::IsDirectory, ERROR_ACCESS_DENIED};
    if (const Status disposed = DisposePosix(entry.handle.get()); !IsRefusedOutright(disposed))
      return disposed;
    return DisposeClearingReadOnly(parent, name, options, entry);
  });
}

// Why the system, which can open the directory, cannot name it; done where
// it can name it, or cannot open it.
Status NamingOf(Directory& parent, const std::string& name) {
  OwnedHandle handle;
  const Status opened = OpenRelative(Handle(parent), WideText<wchar_t>(name), FILE_READ_ATTRIBUTES,
                                     FILE_DIRECTORY_FILE, handle);
  std::wstring full;
  return opened.ok() ? QueryName(handle.get(), full) : Status{};
}

}  // namespace

decltype(&SetFileInformationByHandle) SetInformationCall = SetFileInformationByHandle;

Status EraseFile(Directory& parent, const std::string& name) { return Remove(parent, name, 0); }

// Wine takes the removal of an entry it cannot name as done and never
// does it, so the directory above still holds it: the name, not the
// directory, is what stands in the way.
Status RemoveDirectory(Directory& parent, const std::string& name) {
  const Status removed = Remove(parent, name, FILE_DIRECTORY_FILE);
  if (removed.native != ERROR_DIR_NOT_EMPTY) return removed;
  const Status named = NamingOf(parent, name);
  return named.ok() ? removed : named;
}

}  // namespace kelvane
