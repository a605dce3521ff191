#include "expiry/archive_scan.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "expiry/day_number.h"
#include "expiry/tree_removal.h"
#include "runtime/console.h"
#include "runtime/file_system.h"
#include "runtime/local_date.h"

namespace kelvane {
namespace {

// An expired entry of the archive, as its listing gave it.
struct ExpiredEntry {
  std::string name;
  std::int32_t age = 0;
  std::uint8_t attributes = 0;
  bool spared = false;  // one of the newest dated entries, which stays
};

// What the archive holds that matters to a run. Only the expired entries
// are held in memory; the others are counted.
struct ArchiveContents {
  std::vector<ExpiredEntry> expired;
  std::uint64_t young = 0;  // dated entries not expired, each newer than every expired one
};

std::int32_t TodayNumber() {
  const CalendarDate today = LocalDate();
  return DayNumber(static_cast<std::int32_t>(today.day), static_cast<std::int32_t>(today.month),
                   static_cast<std::int32_t>(today.year));
}

void ReportUnreadable(const std::string& arcpath, const Status& status) {
  WriteErrorLine("kelvane: cannot read " + Printable(arcpath) + ": " + ErrorText(status));
}

// Reads the archive whole. Returns false, reported, when the read failed
// part-way; `contents` then holds what came before.
bool ReadArchive(Directory& archive, const std::string& arcpath, std::int32_t history,
                 ArchiveContents& contents) {
  const std::int32_t today = TodayNumber();
  SearchEntry entry;
  for (SearchFirst(archive, SearchAnyEntry, entry); SearchStatus.ok(); SearchNext(archive, entry)) {
    const NameDate date = DateFromName(entry.Name);
    if (!date.IsDated()) continue;
    const std::int32_t age = today - DayNumber(date.day, date.month, date.year);
    if (age > history)
      contents.expired.push_back({std::move(entry.Name), age, entry.Attributes});
    else
      ++contents.young;
  }
  if (SearchStatus.outcome == Outcome::NoMoreEntries) return true;
  ReportUnreadable(arcpath, SearchStatus);
  return false;
}

// Spares the newest `keep` dated entries. The young ones count first, as
// each is newer than every expired one; among the expired, the smaller age
// is newer, and of the same age the later name. The entries' order is the
// caller's to set again.
void SpareNewest(ArchiveContents& contents, std::uint32_t keep) {
  if (keep <= contents.young) return;
  std::vector<ExpiredEntry>& expired = contents.expired;
  const std::uint64_t spared = std::min<std::uint64_t>(keep - contents.young, expired.size());
  const auto newest = expired.begin() + static_cast<std::ptrdiff_t>(spared);
  std::nth_element(expired.begin(), newest, expired.end(), [](const ExpiredEntry& a, const ExpiredEntry& b) {
    return a.age != b.age ? a.age < b.age : a.name > b.name;
  });
  for (auto entry = expired.begin(); entry != newest; ++entry) entry->spared = true;
}

// The line goes out before the removal is tried, so that the name is on
// record even if the removal never comes back; as one statement, so that
// it reaches the system whole, with no other writer's bytes inside it.
void ReportExpired(const ExpiredEntry& entry, bool dryRun) {
  const bool isDirectory = (entry.attributes & AttrDirectory) != 0;
  if (isDirectory) WriteChar(StandardOutput, '[');
  WriteText(StandardOutput, Printable(entry.name));
  if (isDirectory) WriteChar(StandardOutput, ']');
  WriteChar(StandardOutput, ' ');
  WriteNumber(StandardOutput, entry.age);
  WriteText(StandardOutput, dryRun ? " days old, would be deleted" : " days old, deleting...");
  WriteLineEnd(StandardOutput);
}

// On standard error, where an administrator looks: a spared entry is
// often the sign that the job filling the archive has stopped.
void ReportSpared(const std::string& arcpath, const ExpiredEntry& entry, std::uint32_t keep) {
  WriteErrorLine("kelvane: keeping " + Printable(arcpath + entry.name) + ", " + std::to_string(entry.age) +
                     " days old, as one of the " + std::to_string(keep) + " newest dated entries",
                 Severity::Warning);
}

}  // namespace

bool ScanArchive(const std::string& arcpath, const RunOptions& options) {
  Directory archive;
  if (const Status opened = OpenDirectory(arcpath, archive); !opened.ok()) {
    ReportUnreadable(arcpath, opened);
    // An archive path that names a file, or nothing any more, simply has
    // no entries.
    return opened.outcome == Outcome::NotDirectory || opened.outcome == Outcome::Gone;
  }
  ArchiveContents contents;
  bool clean = ReadArchive(archive, arcpath, options.history, contents);
  // Without the whole archive, which entries are the newest is unknown.
  if (!clean && options.keep > 0) contents.expired.clear();
  SpareNewest(contents, options.keep);
  std::sort(contents.expired.begin(), contents.expired.end(),
            [](const ExpiredEntry& a, const ExpiredEntry& b) { return a.name < b.name; });

  RemovalCrew crew;
  for (const ExpiredEntry& entry : contents.expired) {
    if (entry.spared) {
      ReportSpared(arcpath, entry, options.keep);
    } else {
      ReportExpired(entry, options.dryRun);
      if (!options.dryRun) clean = RemoveTree(crew, archive, arcpath, entry.name, entry.attributes) && clean;
    }
  }
  SearchClose(archive);
  return clean;
}

}  // namespace kelvane
