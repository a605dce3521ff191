#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "runtime/arguments.h"

namespace kelvane {
namespace {

int argumentTotal = 0;
char** argumentVector = nullptr;

std::string Cut(std::string text) {
  if (text.size() > MaxArgumentLength) text.resize(MaxArgumentLength);
  return text;
}

// The n-th non-empty element of argv, n from 1; null past the last.
const char* NthArgument(std::int32_t n) {
  for (int i = 1; n > 0 && i < argumentTotal; ++i) {
    if (argumentVector[i][0] == '\0') continue;
    if (--n == 0) return argumentVector[i];
  }
  return nullptr;
}

}  // namespace

void BindArguments(int argc, char** argv) {
  argumentTotal = argc;
  argumentVector = argv;
}

// Empty arguments are skipped, as an empty pair of quotes separates
// arguments on a Windows command line rather than making one.
std::int32_t ArgumentCount() {
  std::int32_t count = 0;
  for (int i = 1; i < argumentTotal; ++i)
    if (argumentVector[i][0] != '\0') ++count;
  return count;
}

std::string Argument(std::int32_t n) {
  if (n == 0) {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    return length > 0 ? Cut(std::string(path, static_cast<std::size_t>(length))) : std::string();
  }
  const char* argument = NthArgument(n);
  return argument != nullptr ? Cut(argument) : std::string();
}

bool ArgumentWasCut(std::int32_t n) {
  const char* argument = NthArgument(n);
  return argument != nullptr && std::strlen(argument) > MaxArgumentLength;
}

}  // namespace kelvane
