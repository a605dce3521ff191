// Directory search and entry operations. Every operation works relative to
// an open directory, so that a path swapped while the run goes on can never
// lead it elsewhere; names are passed to the platform exactly as found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kelvane {

// Attribute bits of a found entry.
inline constexpr std::uint8_t AttrReadOnly = 0x01;
inline constexpr std::uint8_t AttrHidden = 0x02;
inline constexpr std::uint8_t AttrSystem = 0x04;
inline constexpr std::uint8_t AttrVolumeLabel = 0x08;
inline constexpr std::uint8_t AttrDirectory = 0x10;
inline constexpr std::uint8_t AttrArchive = 0x20;

// Search mask for every entry but volume labels.
inline constexpr std::uint32_t SearchAnyEntry = 0x37;

// The separator between the components of a path on this platform.
extern const char PathSeparator;

// How many directories of a walk, the innermost ones, stay open at once.
// An ancestor beyond them is closed and opened again on the way back up,
// which costs more the deeper it lies; each platform weighs that against
// what an open directory costs it.
extern const std::size_t OpenDirectoryWindow;

// What a file-system operation came to, the same on every platform. Each
// backend maps its native error codes onto these in one place.
enum class Outcome : std::uint8_t {
  Ok,
  NoMoreEntries,  // a search has passed its last entry
  Gone,           // the entry does not exist, or no longer does
  NotDirectory,   // a directory was to be opened, and a file or link was met
  IsDirectory,    // a file was to be erased, and a directory was met
  OtherDevice,    // the directory lies on another file system: not entered
  MountUnknown,   // whether the directory is a mount point cannot be told: not entered
  Moved,          // a directory opened again is not the one seen before
  ReadOnly,       // the file system refuses every change
  Failed,         // any other refusal
};

struct Status {
  Outcome outcome = Outcome::Ok;
  int native = 0;  // the platform's own code, where it gave one

  bool ok() const { return outcome == Outcome::Ok; }
};

// The text that explains a failed status to a user.
std::string ErrorText(const Status& status);

// Identity of a directory: its file system and its number there.
struct DirectoryId {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;

  bool operator==(const DirectoryId&) const = default;
};

struct Listing;  // the backend's state of an open directory
struct ListingDelete {
  void operator()(Listing* listing) const;
};

// An open directory; closed when destroyed.
struct Directory {
  Directory();
  Directory(Directory&&) noexcept;
  Directory& operator=(Directory&&) noexcept;
  ~Directory();

  bool IsOpen() const { return OsHandle != NoHandle; }
  // Closes the handle and drops the listing; harmless when closed.
  Status Close();

  static constexpr std::intptr_t NoHandle = -1;
  std::intptr_t OsHandle = NoHandle;
  DirectoryId id;  // filled by IdentifyDirectory
  std::unique_ptr<Listing, ListingDelete> listing;
};

// Where a search of a directory stands, so that a search of the same
// directory opened again can go on from there instead of listing again
// what came before.
using SearchPosition = std::uint64_t;
inline constexpr SearchPosition SearchStart = 0;

// One found entry of a search.
struct SearchEntry {
  std::uint32_t AttrMask = 0;
  std::uint8_t Attributes = 0;
  std::string Name;
  // Where a search of the directory opened again goes on without missing
  // an entry not yet found: just after this one, or before it where the
  // platform hands out a batch in an order of its own; SearchStart where
  // going on from there would save no read (what came before came with the
  // first) and wherever the platform cannot go on from a position.
  SearchPosition Position = SearchStart;
};

// Outcome of the thread's latest SearchFirst, SearchFrom, SearchNext or
// SearchClose, whichever directory it worked on: read it right after the
// call.
extern constinit thread_local Status SearchStatus;

// True when an entry with these attribute bits passes the search mask: the
// mask's low byte lists the bits an entry may carry (read-only always may),
// its second byte the bits it must carry.
bool PassesFilter(std::uint8_t attributes, std::uint32_t mask);

// Reads the first entry of a directory that was just opened that passes
// the mask; the platform's "." and ".." entries come too.
void SearchFirst(Directory& dir, std::uint32_t mask, SearchEntry& entry);
// Reads the following entry that passes the mask given to SearchFirst.
void SearchNext(Directory& dir, SearchEntry& entry);
// As SearchFirst, from `position`, one that an entry of the same directory
// gave. A search that went on from a position may pass entries, as some
// file systems move what follows a position when an entry before it goes;
// a directory so searched can be read again from SearchStart.
void SearchFrom(Directory& dir, std::uint32_t mask, SearchPosition position, SearchEntry& entry);
// Ends the search and closes the directory; harmless when closed.
void SearchClose(Directory& dir);

// True when the path leads to an entry: a link counts only where what it
// points to exists.
bool EntryExists(const std::string& path);

// Opens the directory the user named; links on the way are followed.
Status OpenDirectory(const std::string& path, Directory& out);

// Opens a directory inside an open one without following a link and
// without crossing a mount point. A directory that refuses to be read is
// made readable to its owner first. Opened this way, a directory belongs to
// a tree being removed: see EraseFile.
Status OpenSubdirectory(Directory& parent, const std::string& name, Directory& out);

// Reads the identity of an open directory into its `id`. Opening does not,
// as most directories of a walk never need it.
Status IdentifyDirectory(Directory& dir);

// Opens the directory that holds `child`, which must be `expected`.
Status OpenParent(Directory& child, const DirectoryId& expected, Directory& out);

// Erases a file or a link inside an open directory. Where a directory of a
// tree being removed refuses the removal to its own owner, it is made
// writable and searchable to the owner and the removal tried once more.
Status EraseFile(Directory& parent, const std::string& name);

// Removes an empty directory inside an open directory, as EraseFile does.
Status RemoveDirectory(Directory& parent, const std::string& name);

}  // namespace kelvane
