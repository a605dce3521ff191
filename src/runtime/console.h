// The buffered text channel behind standard output, and the error line on
// standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane {

// Hands bytes to the platform; returns 0 or the platform's error code.
using TransferFunction = int (*)(const char* bytes, std::size_t count);

// A write statement is a run of Write* calls closed by exactly one
// WriteLineEnd or EndWrite; every statement reaches the platform when it
// ends. After the first failed transfer the channel drops everything, the
// rest of that statement and what is left at the end of the run included.
struct TextChannel {
  static constexpr std::size_t BufferSize = 128;

  TransferFunction transfer = nullptr;
  std::size_t BufferPos = 0;
  bool failed = false;
  char buffer[BufferSize] = {};
};

// The platform's error code of the first failed transfer, 0 while none
// failed. Once set it stays set for the rest of the run.
extern constinit thread_local int IoResult;

extern TextChannel StandardOutput;

// Line end of this platform's text output.
extern const std::string_view LineEnd;

void WriteText(TextChannel& channel, std::string_view text, std::int32_t width = 0);
void WriteChar(TextChannel& channel, char ch, std::int32_t width = 0);
void WriteNumber(TextChannel& channel, std::int32_t value, std::int32_t width = 0);
void WriteLineEnd(TextChannel& channel);
void EndWrite(TextChannel& channel);

// Transfers the bytes still waiting in the channel.
void FlushChannel(TextChannel& channel);

// The first step of every Halt, also of the end after a fault: clears
// IoResult and transfers what standard output still holds. Safe inside a
// signal handler.
void CloseStandardOutput();

// Binds StandardOutput to the process's standard output.
void BindStandardOutput();

// A name or path as the tool shows it. A name may hold control characters,
// which could forge a line of the report or drive a terminal: the bytes
// 0x01 to 0x1F and 0x7F, and the C1 controls U+0080 to U+009F in UTF-8,
// are shown byte by byte as \xHH (two upper-case hexadecimal digits).
// Every other byte is shown as it is.
std::string Printable(std::string_view text);

// Writes one line to standard error, unbuffered. Threads that report at
// once never mix their lines, however long.
void WriteErrorLine(std::string_view text);

// Hands a whole line, line end included, to standard error: the platform's
// part of WriteErrorLine.
void TransferErrorLine(std::string_view line);

}  // namespace kelvane
