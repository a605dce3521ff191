#include "expiry/archive_scan.h"

#include "expiry/day_number.h"
#include "expiry/tree_removal.h"
#include "runtime/console.h"
#include "runtime/file_system.h"
#include "runtime/local_date.h"

namespace kelvane {
namespace {

std::int32_t TodayNumber() {
  const CalendarDate today = LocalDate();
  return DayNumber(static_cast<std::int32_t>(today.day), static_cast<std::int32_t>(today.month),
                   static_cast<std::int32_t>(today.year));
}

// The line goes out before the removal is tried, so that the name is on
// record even if the removal never comes back; as one statement, so that
// it reaches the system whole, with no other writer's bytes inside it.
void ReportExpired(const SearchEntry& entry, std::int32_t age) {
  const bool isDirectory = (entry.Attributes & AttrDirectory) != 0;
  if (isDirectory) WriteChar(StandardOutput, '[');
  WriteText(StandardOutput, Printable(entry.Name));
  if (isDirectory) WriteChar(StandardOutput, ']');
  WriteChar(StandardOutput, ' ');
  WriteNumber(StandardOutput, age);
  WriteText(StandardOutput, " days old, deleting...");
  WriteLineEnd(StandardOutput);
}

void ReportUnreadable(const std::string& arcpath, const Status& status) {
  WriteErrorLine("kelvane: cannot read " + Printable(arcpath) + ": " + ErrorText(status));
}

}  // namespace

bool ScanArchive(const std::string& arcpath, std::int32_t history) {
  const std::int32_t today = TodayNumber();
  Directory archive;
  if (const Status opened = OpenDirectory(arcpath, archive); !opened.ok()) {
    // An archive path that names a file simply has no entries.
    if (opened.outcome == Outcome::NotDirectory || opened.outcome == Outcome::Gone) return true;
    ReportUnreadable(arcpath, opened);
    return false;
  }

  bool clean = true;
  RemovalCrew crew;
  SearchEntry entry;
  SearchFirst(archive, SearchAnyEntry, entry);
  while (SearchStatus.ok()) {
    const NameDate date = DateFromName(entry.Name);
    if (date.IsDated()) {
      const std::int32_t age = today - DayNumber(date.day, date.month, date.year);
      if (age > history) {
        ReportExpired(entry, age);
        clean = RemoveTree(crew, archive, arcpath, entry.Name, entry.Attributes) && clean;
      }
    }
    SearchNext(archive, entry);
  }
  if (SearchStatus.outcome != Outcome::NoMoreEntries) {
    ReportUnreadable(arcpath, SearchStatus);
    clean = false;
  }
  SearchClose(archive);
  return clean;
}

}  // namespace kelvane
