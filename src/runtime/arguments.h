// The command-line arguments of the run.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane {

// Longest argument handed out, in the platform's units of text (bytes, or
// UTF-16 code units on Windows); longer ones keep their first units.
inline constexpr std::size_t MaxArgumentLength = 255;

// Remembers the process's argument vector (some platforms read their own
// command line instead and ignore it).
void BindArguments(int argc, char** argv);

// Number of arguments after the program name.
std::int32_t ArgumentCount();

// The n-th argument, never empty for n in [1, ArgumentCount()]; the
// program's own path for n = 0; empty for any other n.
std::string Argument(std::int32_t n);

// True when the n-th argument was longer than MaxArgumentLength, so that
// Argument(n) holds only its first bytes.
bool ArgumentWasCut(std::int32_t n);

}  // namespace kelvane
