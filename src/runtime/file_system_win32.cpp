// The path the user names, made one the system takes (a long path, a
// volume's root), and the life of an open directory's handle. The other
// files of this backend are listed in file_system_internal_win32.h; read
// entry_open_win32.cpp first.
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/file_system_internal_win32.h"
#include "runtime/wide_text.h"

namespace kelvane {

const char PathSeparator = '\\';

// Enough that no practical tree is ever reopened by name. Under Wine every
// open directory also holds a Unix descriptor, in the program and in the
// Wine server each, and some systems allow a process no more than 4,096.
const std::size_t OpenDirectoryWindow = 2048;

namespace {

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

}  // namespace

void ListingDelete::operator()(Listing* listing) const { delete listing; }

Status Directory::Close() {
  Status status;
  if (IsOpen() && !CloseHandle(Handle(*this))) status = LastError();
  OsHandle = NoHandle;
  listing.reset();
  return status;
}

// Takes ownership of an open directory. Its identity is read when the walk
// or a check needs it.
void Adopt(OwnedHandle handle, Directory& out) {
  out = Directory();
  out.OsHandle = reinterpret_cast<std::intptr_t>(handle.release());
  out.listing.reset(new Listing);
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

}  // namespace kelvane
