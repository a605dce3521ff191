// Reading an open directory in batches of records, and remembering the
// entry handed out last for the identity guard of entry_open_win32.cpp.
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/file_system_internal_win32.h"
#include "runtime/wide_text.h"

namespace kelvane {
namespace {

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
      // Kept for the identity guard, which opens this entry next.
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

}  // namespace

decltype(&NtQueryDirectoryFile) ListDirectoryCall = NtQueryDirectoryFile;

bool LastHandedOut(Listing& listing, const std::wstring& name, LONGLONG& id, DWORD& attributes) {
  const Guard guard(listing);
  if (listing.lastName != name) return false;
  id = listing.lastId;
  attributes = listing.lastAttributes;
  return true;
}

void SearchNext(Directory& dir, SearchEntry& entry) { ReadEntry(dir, entry); }

// NtQueryDirectoryFile cannot seek, so no entry gives a position here: a
// search starts at the beginning.
void SearchFrom(Directory& dir, std::uint32_t mask, SearchPosition, SearchEntry& entry) {
  SearchFirst(dir, mask, entry);
}

}  // namespace kelvane
