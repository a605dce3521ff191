// The Win32 console's seam for tests. Under Wine a test has no console of
// its own, nor one whose code page it may choose: it answers for the
// console where the output calls through these.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace kelvane {

extern decltype(&GetConsoleMode) ConsoleModeCall;
extern decltype(&GetConsoleOutputCP) ConsoleCodePageCall;
extern decltype(&WriteConsoleW) WriteConsoleCall;

}  // namespace kelvane
