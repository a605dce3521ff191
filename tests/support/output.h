// The tool's output as the end-to-end tests expect it.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace kelvane::testing {

// The lines, each ended as the platform ends them.
std::string Lines(std::initializer_list<std::string> lines);

// The lines of a text, sorted: report lines come in the order of the
// directory, which is the platform's.
std::vector<std::string> SortedLines(const std::string& text);

// The report line of an expired entry, without its line end.
std::string Report(const std::string& name, int age, bool directory);

// The usage text.
extern const std::string Usage;

}  // namespace kelvane::testing
