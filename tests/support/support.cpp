#include "support/support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "expiry/day_number.h"
#include "runtime/console.h"
#include "runtime/local_date.h"

namespace kelvane::testing {

void Build(const std::string& root, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    const std::size_t arrow = entry.find("->");
    if (arrow != std::string::npos)
      std::filesystem::create_symlink(entry.substr(arrow + 2), root + "/" + entry.substr(0, arrow));
    else if (entry.ends_with('/'))
      MakeDirectory(root + "/" + entry.substr(0, entry.size() - 1));
    else
      WriteFile(root + "/" + entry, entry);
  }
}

std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> tree;
  for (const std::string& name : Names(root)) {
    const bool dir = IsDirectory(root + "/" + name);
    tree.push_back(dir ? name + "/" : name);
    for (const std::string& below : dir ? Tree(root + "/" + name) : std::vector<std::string>{})
      tree.push_back(name + "/" + below);
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

RunResult RunKelvane(const std::vector<std::string>& args, const RunOptions& options) {
  return RunProgram(KELVANE_BINARY, args, options);
}

std::string DateDaysAgo(int days) {
  using namespace std::chrono;
  const CalendarDate today = LocalDate();
  const year_month_day date{sys_days{year{static_cast<int>(today.year)} / static_cast<int>(today.month) /
                                     static_cast<int>(today.day)} -
                            std::chrono::days{days}};
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02u%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

std::int32_t TodayNumber() {
  const CalendarDate today = LocalDate();
  return DayNumber(static_cast<std::int32_t>(today.day), static_cast<std::int32_t>(today.month),
                   static_cast<std::int32_t>(today.year));
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace kelvane::testing
