// The tool's main routine: command line and set-up.
#pragma once

#include <string>

namespace kelvane {

// Exit codes of an ordinary end.
inline constexpr int ExitSuccess = 0;
inline constexpr int ExitNotRemoved = 2;  // some expired entry could not be removed
inline constexpr int ExitRefused = 64;    // an option word was refused; nothing was done

// Reads the command line, prints the usage text or checks the archive
// path, and runs the archive scan. Returns the exit code.
int RunExpiry();

// True when an entry of this name exists; one trailing separator is
// ignored.
bool PathExists(std::string path);

}  // namespace kelvane
