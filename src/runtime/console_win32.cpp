#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "runtime/console.h"
#include "runtime/wide_text.h"

namespace kelvane {

const std::string_view LineEnd = "\r\n";

namespace {

HANDLE standardOutput = INVALID_HANDLE_VALUE;

// The head of a character that a full buffer cut off; it goes out with
// the rest of the character in the next transfer of the same statement.
std::string pending;

// The tool's text in the console's (OEM) code page. A character that the
// code page lacks shows as "?", never as a look-alike that names another
// entry.
std::string ConsoleBytes(std::string_view text) {
  const std::wstring wide = WideText<wchar_t>(text);
  if (wide.empty()) return {};
  const UINT codePage = GetOEMCP();
  const bool utf8 = codePage == CP_UTF8;  // takes neither flags nor a default character
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* unknown = utf8 ? nullptr : "?";
  const int units = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(codePage, flags, wide.data(), units, nullptr, 0, unknown, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), units, bytes.data(), size, unknown, nullptr);
  return bytes;
}

int WriteBytes(HANDLE handle, const std::string& bytes) {
  if (bytes.empty()) return 0;
  DWORD written = 0;
  if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    return static_cast<int>(GetLastError());
  return 0;
}

int TransferToStandardOutput(const char* bytes, std::size_t count) {
  pending.append(bytes, count);
  const std::size_t whole = WholeSequences(pending);
  const std::string text = ConsoleBytes(std::string_view(pending).substr(0, whole));
  pending.erase(0, whole);
  return WriteBytes(standardOutput, text);
}

}  // namespace

void BindStandardOutput() {
  standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  StandardOutput.transfer = TransferToStandardOutput;
}

void WriteErrorLine(std::string_view text) {
  std::string line(text);
  line += LineEnd;
  WriteBytes(GetStdHandle(STD_ERROR_HANDLE), ConsoleBytes(line));
}

}  // namespace kelvane
