// Opening entries inside the directories a walk holds, and the checks that
// keep each removal inside the archive. Of the Win32 file system backend's
// files, read this one first. What can change under a run, and what stops it:
// - An entry renamed, or replaced by a junction, a symbolic link or a
//   mounted folder, between listing and opening: each entry is opened by
//   its name relative to its open parent, never through a link at its end
//   (OpenRelative); a name holding a backslash is refused (OpenEntry). A
//   link is never entered (IsPlainDirectory in OpenSubdirectory) and is
//   removed as itself, a plain directory never as a file (Remove).
// - A Unix symbolic link, which Wine follows all the same: the handle must
//   be the very directory the listing showed (IsListedDirectory), or bear
//   exactly its parent's name and its own (CheckName); else it is left as
//   one that leads elsewhere (Misnamed).
// - A directory of another volume under the name: one the listing did not
//   vouch for must share its parent's volume (OpenSubdirectory).
// - A parent moved or replaced while the walk was away: opened again by its
//   child's name, it must be the one recorded (OpenParent); CheckName reads
//   a parent's name again where it no longer fits.
// - A hard link to a file outside: the read-only bit cleared for a removal
//   goes back on the file (DisposeClearingReadOnly).
// - System32 redirection of a 32-bit build: off in every thread
//   (process_win32.cpp), on only while SystemMessage reads the system's texts.
// Under Wine, no check can see a bind mount or Unix mount point inside,
// nor stop a swap made before the close at which Wine does a disposition.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "runtime/file_system_internal_win32.h"
#include "runtime/wide_text.h"

namespace kelvane {
namespace {

// Both names are the system's answers for handles, the entry's own and its
// directory's, and the entry was opened by the name its listing gave: they
// agree exactly. Compared regardless of case, a Unix link to a path that
// differs only in case (Wine names such a handle by its target) would pass.
bool IsNameOf(const std::wstring& actual, const std::wstring& dir, const std::wstring& name) {
  std::wstring expected = dir;
  if (!expected.empty() && expected.back() != L'\\') expected += L'\\';
  expected += name;
  return actual == expected;
}

}  // namespace

// Reads the full name of an open file or directory as the system resolved
// it into `out`. Its cost grows with the depth of the entry. The entry is
// open, so a failed query never means that it is gone.
Status QueryName(HANDLE handle, std::wstring& out) {
  // The longest name the system has, with room for its header.
  alignas(8) thread_local unsigned char buffer[sizeof(UNICODE_STRING) + 0x10000];
  ULONG length = 0;
  const NTSTATUS status = NameQueryCall(handle, ObjectNameInformation, buffer, sizeof buffer, &length);
  const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
  // A name that does not fit is longer than any the system has; Wine
  // answers with no name at all where Linux cannot hold the Unix path.
  if (status == StatusBufferOverflow || status == StatusInfoLengthMismatch ||
      (NT_SUCCESS(status) && name->Length == 0))
    return {Outcome::Failed, ERROR_FILENAME_EXCED_RANGE};
  if (!NT_SUCCESS(status)) return {Outcome::Failed, static_cast<int>(RtlNtStatusToDosError(status))};
  out.assign(name->Buffer, name->Length / sizeof(WCHAR));
  return {};
}

Status OpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG options,
                    OwnedHandle& out) {
  UNICODE_STRING text;
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, 0, parent, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE handle = nullptr;
  const NTSTATUS status = CreateEntryCall(
      &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
      options | FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
      0);
  if (!NT_SUCCESS(status)) return FromNtStatus(status);
  out.reset(handle);
  return {};
}

namespace {

// Wine opens the target of a Unix symbolic link even when told not to
// follow links, and a removal through such a handle removes the target.
// Where the listing shows that the handle is the very directory it listed
// (the same file id, and a reparse point in both or in neither), the
// handle leads inside, whatever the depth. Wine lists a Unix link to a
// directory as a reparse point and opens its target, which is none. A link
// to a file it lists with its target's id and attributes: nothing but the
// name tells that one apart, so a file is never taken on the listing's word.
bool IsListedDirectory(Listing& listing, const std::wstring& name, const OpenedEntry& entry) {
  if (!(entry.info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  // This relies on the listing remembering the entry it handed out last,
  // the one the walk opens next (LastHandedOut); an entry opened later is
  // left to CheckName.
  LONGLONG id = 0;
  DWORD attributes = 0;
  if (!LastHandedOut(listing, name, id, attributes)) return false;
  // File systems without file ids list 0, and ReFS all ones for an id too
  // long for the listing.
  if (id == 0 || id == -1) return false;
  FILE_INTERNAL_INFORMATION internal;
  IO_STATUS_BLOCK io;
  if (!NT_SUCCESS(NtQueryInformationFile(entry.handle.get(), &io, &internal, sizeof internal,
                                         FileInternalInformation)))
    return false;
  const DWORD reparse = (attributes ^ entry.info.FileAttributes) & FILE_ATTRIBUTE_REPARSE_POINT;
  return internal.IndexNumber.QuadPart == id && reparse == 0;
}

// Why a handle is not named as its entry. Wine names an entry without the
// dot or space at its end, which no Windows name has: such an entry cannot
// be told from a link to the one so named. Anything else leads elsewhere.
Status Misnamed(const std::wstring& name) {
  const bool invalid = !name.empty() && (name.back() == L'.' || name.back() == L' ');
  return {Outcome::Failed, static_cast<int>(invalid ? ERROR_INVALID_NAME : LeadsElsewhere)};
}

// Elsewhere the handle's own name shows where it leads; an entry that leads
// anywhere but into its parent is left alone. An entry the system cannot
// name it cannot remove either (Wine keeps each open entry by its Unix
// path, which Linux cuts at 4,096 bytes): the reason is the name query's.
Status CheckName(Directory& parent, const std::wstring& name, HANDLE entry) {
  std::wstring actual;
  if (const Status named = QueryName(entry, actual); !named.ok()) return named;
  Listing& listing = *parent.listing;
  std::wstring known;
  {
    const Guard guard(listing);
    known = listing.name;
  }
  if (IsNameOf(actual, known, name)) return {};
  // Not read yet, or the parent has been moved since.
  if (const Status named = QueryName(Handle(parent), known); !named.ok()) return named;
  const bool inside = IsNameOf(actual, known, name);
  const Guard guard(listing);
  listing.name = std::move(known);
  return inside ? Status{} : Misnamed(name);
}

Status ReadAttributes(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info) {
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return LastError();
  return {};
}

}  // namespace

AttributeQuery QueryAttributes = ReadAttributes;
decltype(&NtCreateFile) CreateEntryCall = NtCreateFile;
decltype(&NtQueryObject) NameQueryCall = NtQueryObject;

Status OpenEntry(Directory& parent, const std::string& name, ACCESS_MASK access, ULONG options,
                 OpenedEntry& out) {
  if (!parent.IsOpen()) return FromWin32(ERROR_INVALID_HANDLE);
  const std::wstring wide = WideText<wchar_t>(name);
  // Unix, and directories with POSIX semantics, allow a backslash in a
  // name: opened relative to its directory, such a name is a path to some
  // other entry, whose absence tells nothing of this one.
  if (wide.find(L'\\') != std::wstring::npos) return {Outcome::Failed, ERROR_INVALID_NAME};
  if (const Status opened = OpenRelative(Handle(parent), wide, access, options, out.handle); !opened.ok())
    return opened;
  if (const Status queried = QueryAttributes(out.handle.get(), out.info); !queried.ok()) return queried;
  out.listed = IsListedDirectory(*parent.listing, wide, out);
  if (out.listed) return {};
  const Status checked = CheckName(parent, wide, out.handle.get());
  if (!checked.ok()) out.handle.reset();
  return checked;
}

// A junction, a directory symbolic link or a mounted folder stands for
// another directory: it is removed as a link, never entered. Other
// reparse points (cloud files, deduplicated data) hold their own contents.
bool IsPlainDirectory(const FILE_ATTRIBUTE_TAG_INFO& info) {
  const bool link =
      (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(info.ReparseTag);
  return (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !link;
}

Status OpenSubdirectory(Directory& parent, const std::string& name, Directory& out) {
  OpenedEntry entry;
  const Status opened = Retried([&] {
    return OpenEntry(parent, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE, entry);
  });
  if (!opened.ok()) return opened;
  // Checked on the handle that is listed, so that a directory swapped for
  // a link after the search cannot lead elsewhere.
  if (!IsPlainDirectory(entry.info)) return FromWin32(ERROR_DIRECTORY);
  // A directory its parent listed lies in its parent, on the same volume.
  if (!entry.listed) {
    BY_HANDLE_FILE_INFORMATION above, below;
    if (!GetFileInformationByHandle(Handle(parent), &above) ||
        !GetFileInformationByHandle(entry.handle.get(), &below))
      return LastError();
    if (above.dwVolumeSerialNumber != below.dwVolumeSerialNumber)
      return {Outcome::OtherDevice, ERROR_NOT_SAME_DEVICE};
  }
  {
    // Files inside the child are checked against its own name from now on.
    const Guard guard(*parent.listing);
    std::wstring().swap(parent.listing->name);
  }
  Adopt(std::move(entry.handle), out);
  // It lies on its parent's volume: a class refused there is not asked again.
  out.listing->kind = parent.listing->kind;
  return {};
}

Status IdentifyDirectory(Directory& dir) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(Handle(dir), &info)) return LastError();
  dir.id = {info.dwVolumeSerialNumber, std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
  return {};
}

// Windows has no ".." to open relative to a directory: the parent is
// opened by the name the child has now, and must be the one recorded.
Status OpenParent(Directory& child, const DirectoryId& expected, Directory& out) {
  std::wstring name;
  if (const Status named = QueryName(Handle(child), name); !named.ok()) return named;
  const std::size_t separator = name.rfind(L'\\');
  if (separator == std::wstring::npos || separator == 0) return {Outcome::Moved, 0};
  name.resize(separator);
  OwnedHandle handle;
  if (const Status opened = OpenRelative(nullptr, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                         FILE_DIRECTORY_FILE, handle);
      !opened.ok())
    return opened;
  Directory parent;
  Adopt(std::move(handle), parent);
  if (const Status identified = IdentifyDirectory(parent); !identified.ok()) return identified;
  if (!(parent.id == expected)) return {Outcome::Moved, 0};
  out = std::move(parent);
  return {};
}

}  // namespace kelvane
