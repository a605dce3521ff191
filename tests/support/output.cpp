#include "support/output.h"

#include <algorithm>
#include <sstream>

#include "runtime/console.h"

namespace kelvane::testing {

std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + std::string(LineEnd);
  return text;
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

std::string Report(const std::string& name, int age, bool directory) {
  const std::string shown = directory ? "[" + name + "]" : name;
  return shown + " " + std::to_string(age) + " days old, deleting...";
}

const std::string Usage = Lines({
    "Kelvane v1.0",
    "Usage: Kelvene Arcpath [history]",
    " Files/Directories in Arcpath older than \"history\" days will be erased",
    " Defualt for history is 40 days",
    " File and directory names should have the following form yyyymmdd*.*",
    " Written by the Kelvane developers",
});

}  // namespace kelvane::testing
