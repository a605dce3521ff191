#include "runtime/file_system_win32.h"

#include <cwchar>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/wide_text.h"

// The NT status of the thread's latest failed call, kept beside its Win32
// code; MinGW's headers lack it.
extern "C" NTSTATUS NTAPI RtlGetLastNtStatus();

namespace kelvane {

const char PathSeparator = '\\';

// Enough that no practical tree is ever reopened by name. Under Wine every
// open directory also holds a Unix descriptor, in the program and in the
// Wine server each, and some systems allow a process no more than 4,096.
const std::size_t OpenDirectoryWindow = 2048;

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
  // that one next.
  std::wstring lastName;
  LONGLONG lastId = 0;
  DWORD lastAttributes = 0;
  std::wstring name;  // the directory's full name, read where a check needs it
};

namespace {

// Spelled out here: MinGW's headers offer the disposition values only to
// builds for the newest Windows (the tool asks for them everywhere and falls
// back where they are refused), and the status code only in a header that
// clashes with windows.h.
constexpr auto FileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DispositionDelete = 0x01;
constexpr DWORD DispositionPosixSemantics = 0x02;
constexpr DWORD DispositionIgnoreReadOnly = 0x10;
constexpr NTSTATUS StatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS StatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS StatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr NTSTATUS StatusCannotDelete = static_cast<NTSTATUS>(0xC0000121);
constexpr NTSTATUS StatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);

// The code given to an entry whose handle leads elsewhere than its name:
// ERROR_STOPPED_ON_SYMLINK, which MinGW's headers lack.
constexpr DWORD LeadsElsewhere = 681;

// The attribute bits a handle may set; FILE_BASIC_INFO takes no others.
constexpr DWORD SettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                     FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The one place that decides what a native error means to the tool.
Status FromWin32(DWORD error) {
  switch (error) {
    case ERROR_NO_MORE_FILES:
      return {Outcome::NoMoreEntries, static_cast<int>(error)};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DELETE_PENDING:  // someone else is removing it already
      return {Outcome::Gone, static_cast<int>(error)};
    case ERROR_DIRECTORY:  // a directory was to be opened, and a file was met
      return {Outcome::NotDirectory, static_cast<int>(error)};
    case ERROR_WRITE_PROTECT:
      return {Outcome::ReadOnly, static_cast<int>(error)};
    default:
      return {Outcome::Failed, static_cast<int>(error)};
  }
}

// The Win32 code of a pending delete reads as "access denied", so that
// one is told apart first.
Status FromNtStatus(NTSTATUS status) {
  if (status == StatusDeletePending) return FromWin32(ERROR_DELETE_PENDING);
  return FromWin32(RtlNtStatusToDosError(status));
}

// The Win32 code of the thread's latest failed call. A pending delete
// reaches the Win32 calls as "access denied" too; the NT status of the
// call tells it apart.
DWORD LastErrorCode() {
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED && RtlGetLastNtStatus() == StatusDeletePending)
    return ERROR_DELETE_PENDING;
  return error;
}

Status LastError() { return FromWin32(LastErrorCode()); }

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

HANDLE Handle(const Directory& dir) { return reinterpret_cast<HANDLE>(dir.OsHandle); }

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

// One entry opened relative to its parent, never through a link at its end.
struct OpenedEntry {
  OwnedHandle handle;
  FILE_ATTRIBUTE_TAG_INFO info = {};  // its attribute bits and reparse tag
  bool listed = false;                // the very directory its parent's listing showed
};

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
  LONGLONG id = 0;
  DWORD attributes = 0;
  {
    const Guard guard(listing);
    if (listing.lastName != name) return false;
    id = listing.lastId;
    attributes = listing.lastAttributes;
  }
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

// Windows before 10 (1809), file systems without POSIX semantics, and Wine
// refuse them so; drivers refuse a directory listing class they lack alike.
bool IsRefusedOutright(const Status& status) {
  return status.native == ERROR_INVALID_PARAMETER || status.native == ERROR_NOT_SUPPORTED ||
         status.native == ERROR_INVALID_FUNCTION;
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

// Takes ownership of an open directory. Its identity is read when the walk
// or a check needs it.
void Adopt(OwnedHandle handle, Directory& out) {
  out = Directory();
  out.OsHandle = reinterpret_cast<std::intptr_t>(handle.release());
  out.listing.reset(new Listing);
}

// True for `\\?\X:`, `\\.\X:` and `\\?\Volume{...}`: these name a volume's
// device, not the directory at its root, and reach one only where a
// separator follows them (which the archive path loses before its check).
bool NamesVolumeDevice(std::wstring_view path) {
  if (!path.starts_with(L"\\\\?\\") && !path.starts_with(L"\\\\.\\")) return false;
  const std::wstring_view device = path.substr(4);
  const bool letter = device.size() == 2 && device[1] == L':';
  const bool guid =
      device.size() > 8 && _wcsnicmp(device.data(), L"Volume{", 7) == 0 && device.ends_with(L'}');
  return letter || guid;
}

// A path as the system takes it: absolute, and with the \\?\ prefix where
// it is longer than the classic limit; a volume's root with its separator.
std::wstring SystemPath(const std::string& path) {
  const std::wstring wide = WideText<wchar_t>(path);
  if (NamesVolumeDevice(wide)) return wide + L'\\';
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  full.resize(GetFullPathNameW(wide.c_str(), size, full.data(), nullptr));
  if (full.size() < MAX_PATH || full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// True when the path, without the separator at its end, names an entry
// that is no directory. A drive root keeps its separator.
bool NamesNonDirectory(std::string path) {
  while (path.size() > 1 && path.back() == PathSeparator && path[path.size() - 2] != ':') path.pop_back();
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Reads the next batch of records into the listing's buffer, in the plain
// class once the one with file ids is refused. A batch of no bytes, which
// only a faulty driver answers with success, ends the listing: the buffer
// holds nothing of it.
NTSTATUS ReadBatch(Directory& dir) {
  Listing& l = *dir.listing;
  for (;;) {
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status = ListDirectoryCall(Handle(dir), nullptr, nullptr, nullptr, &io, l.buffer.get(),
                                              Listing::BufferSize, l.kind, FALSE, nullptr, FALSE);
    if (NT_SUCCESS(status) && io.Information == 0) return StatusNoMoreFiles;
    if (l.kind != FileIdBothDirectoryInformation || !IsRefusedOutright(FromNtStatus(status))) return status;
    l.kind = FileFullDirectoryInformation;
  }
}

// One entry as its listing showed it.
struct Record {
  DWORD attributes = 0;
  std::wstring_view name;
  LONGLONG id = 0;  // 0 where the listing shows none
};

bool NextRecord(Directory& dir, Record& out) {
  Listing& l = *dir.listing;
  if (l.next == nullptr) {
    if (l.finished) return false;
    if (!l.buffer) l.buffer.reset(new unsigned char[Listing::BufferSize]);
    if (const NTSTATUS status = ReadBatch(dir); !NT_SUCCESS(status)) {
      l.finished = true;
      l.buffer.reset();
      // A listing with no entry at all (a volume root holds no "." and
      // "..") ends like one read to its end.
      if (const Status end = FromNtStatus(status); end.native != ERROR_FILE_NOT_FOUND)
        l.error = static_cast<DWORD>(end.native);
      return false;
    }
    l.next = l.buffer.get();
  }
  // Both classes begin alike; the one with file ids has its name after them.
  const auto* plain = reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(l.next);
  const auto* withId = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(l.next);
  const bool ids = l.kind == FileIdBothDirectoryInformation;
  out.attributes = plain->FileAttributes;
  out.name =
      std::wstring_view(ids ? withId->FileName : plain->FileName, plain->FileNameLength / sizeof(WCHAR));
  out.id = ids ? withId->FileId.QuadPart : 0;
  l.next = plain->NextEntryOffset != 0 ? l.next + plain->NextEntryOffset : nullptr;
  return true;
}

void ReadEntry(Directory& dir, SearchEntry& entry) {
  if (!dir.IsOpen()) {
    SearchStatus = FromWin32(ERROR_INVALID_HANDLE);
    return;
  }
  Listing& l = *dir.listing;
  Record record;
  while (NextRecord(dir, record)) {
    const auto attributes = static_cast<std::uint8_t>(record.attributes);
    if (!PassesFilter(attributes, entry.AttrMask)) continue;
    entry.Attributes = attributes;
    entry.Name = NarrowText(record.name);
    {
      const Guard guard(l);
      l.lastName = record.name;
      l.lastId = record.id;
      l.lastAttributes = record.attributes;
    }
    if (l.next == nullptr) l.buffer.reset();
    SearchStatus = {};
    return;
  }
  SearchStatus = FromWin32(l.error);
}

// The system's messages live in files it finds in System32, which a
// 32-bit program on 64-bit Windows must be shown as SysWOW64: redirection,
// off for the run, is on again while they are read.
std::string SystemMessage(DWORD code) {
  Wow64EnableWow64FsRedirection(TRUE);
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  Wow64EnableWow64FsRedirection(FALSE);
  if (length == 0) return "error " + std::to_string(code);
  // The report line brings its own end: the message's full stop and line
  // end go.
  std::wstring_view message(text, length);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ' ||
                              message.back() == L'.'))
    message.remove_suffix(1);
  std::string narrow = NarrowText(message);
  LocalFree(text);
  return narrow;
}

Status ReadAttributes(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& info) {
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return LastError();
  return {};
}

}  // namespace

AttributeQuery QueryAttributes = ReadAttributes;
decltype(&NtCreateFile) CreateEntryCall = NtCreateFile;
decltype(&SetFileInformationByHandle) SetInformationCall = SetFileInformationByHandle;
decltype(&NtQueryDirectoryFile) ListDirectoryCall = NtQueryDirectoryFile;
decltype(&NtQueryObject) NameQueryCall = NtQueryObject;

void ListingDelete::operator()(Listing* listing) const { delete listing; }

Status Directory::Close() {
  Status status;
  if (IsOpen() && !CloseHandle(Handle(*this))) status = LastError();
  OsHandle = NoHandle;
  listing.reset();
  return status;
}

std::string ErrorText(const Status& status) {
  switch (status.outcome) {
    case Outcome::OtherDevice:
      return "other volume not entered";
    case Outcome::Moved:
      return "directory was moved during the removal";
    default:
      break;
  }
  if (status.native == static_cast<int>(LeadsElsewhere))
    return "the name leads elsewhere (a link that cannot be removed by itself here)";
  return SystemMessage(static_cast<DWORD>(status.native));
}

void SearchNext(Directory& dir, SearchEntry& entry) { ReadEntry(dir, entry); }

// NtQueryDirectoryFile cannot seek, so no entry gives a position here: a
// search starts at the beginning.
void SearchFrom(Directory& dir, std::uint32_t mask, SearchPosition, SearchEntry& entry) {
  SearchFirst(dir, mask, entry);
}

// The attributes are those of a link itself: a link leads to an entry only
// where what it points to can be opened, or refuses to be.
bool EntryExists(const std::string& path) {
  if (path.empty()) return false;
  const std::wstring system = SystemPath(path);
  const DWORD attributes = GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
  const HANDLE target = CreateFileW(system.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
  }
  CloseHandle(target);
  return true;
}

// A path through a file is refused with a code that differs by system and
// call (Wine: an invalid name; Windows: an invalid directory name, or a
// path not found); the entry itself tells what it is.
Status OpenDirectory(const std::string& path, Directory& out) {
  const HANDLE handle =
      CreateFileW(SystemPath(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const Status failed = LastError();
    return NamesNonDirectory(path) ? FromWin32(ERROR_DIRECTORY) : failed;
  }
  OwnedHandle owned(handle);
  FILE_ATTRIBUTE_TAG_INFO info;
  if (const Status queried = QueryAttributes(handle, info); !queried.ok()) return queried;
  if (!(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return FromWin32(ERROR_DIRECTORY);
  Adopt(std::move(owned), out);
  return {};
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
