// The Win32 console's seam for tests, and its way to standard output for
// the fault report. Under Wine a test has no console of its own, nor one
// whose code page it may choose: it answers for the console where the
// output calls through these.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstddef>
#include <string_view>

namespace kelvane {

extern decltype(&GetConsoleMode) ConsoleModeCall;
extern decltype(&GetConsoleOutputCP) ConsoleCodePageCall;
extern decltype(&WriteConsoleW) WriteConsoleCall;

// No code page takes more bytes for one UTF-16 unit; ISO 2022, with the
// shifts around each character, takes five.
inline constexpr std::size_t MostBytesPerUnit = 8;

// Writes WTF-8 text to the bound standard output with one call, in the form
// the channel gives it. The room for the conversion is the caller's: `wide`
// a unit for each byte of the text, `bytes` MostBytesPerUnit for each unit;
// no heap is taken, so the end after a fault may call it. Returns 0 or the
// platform's error code.
int WriteToStandardOutput(std::string_view text, wchar_t* wide, char* bytes);

}  // namespace kelvane
