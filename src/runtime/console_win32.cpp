#include "runtime/console_win32.h"

#include <string>
#include <vector>

#include "runtime/console.h"
#include "runtime/wide_text.h"

namespace kelvane {

const std::string_view LineEnd = "\r\n";

decltype(&GetConsoleMode) ConsoleModeCall = GetConsoleMode;
decltype(&GetConsoleOutputCP) ConsoleCodePageCall = GetConsoleOutputCP;
decltype(&WriteConsoleW) WriteConsoleCall = WriteConsoleW;

namespace {

// Where text goes, and in which form.
struct Output {
  Stream stream = Stream::Output;
  HANDLE handle = INVALID_HANDLE_VALUE;
  UINT codePage = 0;  // 0 for a console, which takes UTF-16
};

Output standardOutput;

HANDLE StandardHandle(Stream stream) {
  return GetStdHandle(stream == Stream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// A console shows UTF-16 as it is, whatever its code page. A file or a
// pipe gets bytes in the code page of the process's console, which is what
// a console that shows them later expects, or in the OEM code page where
// the process has none (a scheduled task).
Output OutputTo(Stream stream) {
  const HANDLE handle = StandardHandle(stream);
  DWORD mode = 0;
  if (ConsoleModeCall(handle, &mode)) return {stream, handle, 0};
  const UINT console = ConsoleCodePageCall();
  return {stream, handle, console != 0 ? console : GetOEMCP()};
}

// The text in a code page, as many bytes as it takes. A character that the
// code page lacks shows as "?", never as a look-alike that names another
// entry; code pages that take no such request (UTF-8, UTF-7, ISO 2022) are
// asked plainly.
int ToCodePage(UINT codePage, const wchar_t* wide, std::size_t units, char* bytes) {
  const int count = static_cast<int>(units);
  const int room = static_cast<int>(units * MostBytesPerUnit);
  const int size =
      WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, count, bytes, room, "?", nullptr);
  return size != 0 ? size : WideCharToMultiByte(codePage, 0, wide, count, bytes, room, nullptr, nullptr);
}

// Writes WTF-8 text, to a file or a pipe whole. The room for its
// conversion is the caller's: `wide` a unit for each byte of the text,
// `bytes` MostBytesPerUnit for each unit.
int Write(const Output& output, std::string_view text, wchar_t* wide, char* bytes, bool& torn) {
  const auto units = static_cast<DWORD>(DecodeWtf8(text, wide));
  if (units == 0) return 0;
  if (output.codePage == 0) {
    DWORD written = 0;
    return WriteConsoleCall(output.handle, wide, units, &written, nullptr) ? 0
                                                                           : static_cast<int>(GetLastError());
  }
  const int size = ToCodePage(output.codePage, wide, units, bytes);
  return WriteWhole(output.stream, std::string_view(bytes, static_cast<std::size_t>(size)), torn);
}

// The end after a fault transfers what the channel still holds, so this
// uses no heap: one exhausted or broken would fault again, and the bytes
// would be lost. The channel hands over no more than its buffer, whole
// statements, so no character is ever cut.
int TransferToStandardOutput(const char* bytes, std::size_t count) {
  wchar_t wide[TextChannel::BufferSize];
  char converted[TextChannel::BufferSize * MostBytesPerUnit];
  bool torn = false;
  return Write(standardOutput, std::string_view(bytes, count), wide, converted, torn);
}

}  // namespace

int WriteToStandardOutput(std::string_view text, wchar_t* wide, char* bytes) {
  bool torn = false;
  return Write(standardOutput, text, wide, bytes, torn);
}

std::size_t WriteSome(Stream stream, std::string_view bytes, int& error) {
  DWORD written = 0;
  if (!WriteFile(StandardHandle(stream), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    error = static_cast<int>(GetLastError());
  // A file on a disk that fills may take part of the bytes and still
  // report success.
  else if (written < bytes.size())
    error = ERROR_DISK_FULL;
  return written;
}

// Right after the write, a file that still ends where the write left its
// pointer ends with the bytes it took: another writer that wrote since
// has moved the end past it.
Tail TakeBack(Stream stream, std::size_t count) {
  const HANDLE file = StandardHandle(stream);
  if (GetFileType(file) != FILE_TYPE_DISK) return Tail::NotAFile;
  LARGE_INTEGER end = {}, size = {}, start = {};
  if (!SetFilePointerEx(file, start, &end, FILE_CURRENT) || !GetFileSizeEx(file, &size) ||
      size.QuadPart != end.QuadPart || end.QuadPart < static_cast<LONGLONG>(count))
    return Tail::Left;
  start.QuadPart = end.QuadPart - static_cast<LONGLONG>(count);
  if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file)) return Tail::TakenBack;
  SetFilePointerEx(file, end, nullptr, FILE_BEGIN);
  return Tail::Left;
}

void BindStandardOutput() {
  standardOutput = OutputTo(Stream::Output);
  StandardOutput.transfer = TransferToStandardOutput;
}

// The journal is systemd's; a Windows process never writes to it.
bool StandardErrorIsJournal() { return false; }

void TransferErrorLine(std::string_view line, bool& torn) {
  std::vector<wchar_t> wide(line.size());
  std::vector<char> bytes(line.size() * MostBytesPerUnit);
  Write(OutputTo(Stream::Error), line, wide.data(), bytes.data(), torn);
}

}  // namespace kelvane
