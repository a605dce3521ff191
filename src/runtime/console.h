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
  // Room for the longest line the tool writes (a name of 255 bytes shown
  // as \xHH throughout, say), so that each line reaches the system in one
  // transfer and no other writer's bytes can come between its parts.
  static constexpr std::size_t BufferSize = 2048;

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
// 0x01 to 0x1F and 0x7F, the C1 controls U+0080 to U+009F in UTF-8, and
// the bytes 0x80 to 0x9F outside a well-formed sequence (which a terminal
// that reads 8-bit controls takes for C1) are shown byte by byte as \xHH
// (two upper-case hexadecimal digits). Every other byte is shown as it is.
std::string Printable(std::string_view text);

// How much a line on standard error matters: the syslog priority.
enum class Severity : std::uint8_t { Error = 3, Warning = 4 };

// Writes one line to standard error, unbuffered. Threads that report at
// once never mix their lines, however long. A line a full file could not
// take whole is taken back out, and later lines go on; where a piece of
// one had to stay, nothing more is written, lest the next line join it.
// Where standard error is the systemd journal, the line begins with its
// priority as "<N>", which the journal takes off and files it under.
void WriteErrorLine(std::string_view text, Severity severity = Severity::Error);

// True where standard error is the systemd journal's stream: the device
// and inode that JOURNAL_STREAM names.
bool StandardErrorIsJournal();

// The standard streams.
enum class Stream : std::uint8_t { Output, Error };

// Hands bytes to a stream whole, so that a file ends with whole lines and
// never loses a byte another writer put there. A file that takes part of
// the bytes and then no more (a full disk, a size limit) has that part cut
// back out where it still ends with it; where another writer has written
// after it, the part stays and `torn` is set. Returns 0 or the platform's
// error code.
int WriteWhole(Stream stream, std::string_view bytes, bool& torn);

// The platform's part of WriteWhole: one call of the system's write, as
// many bytes as it took. Where it took fewer than all, `error` is set: the
// system's code, or that of a full disk where the system gave none.
std::size_t WriteSome(Stream stream, std::string_view bytes, int& error);

// What the end of a stream holds after a write took only `count` bytes.
enum class Tail : std::uint8_t {
  NotAFile,   // a pipe or a terminal, which takes the rest in later writes
  TakenBack,  // a file, cut back to where those bytes began
  Left,       // a file that does not end with those bytes, left as it is
};
Tail TakeBack(Stream stream, std::size_t count);

// Hands a whole line, line end included, to standard error: the platform's
// part of WriteErrorLine. Sets `torn` as WriteWhole does.
void TransferErrorLine(std::string_view line, bool& torn);

}  // namespace kelvane
