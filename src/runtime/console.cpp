#include "runtime/console.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "runtime/wide_text.h"

namespace kelvane {

constinit thread_local int IoResult = 0;
TextChannel StandardOutput;

namespace {

void Transfer(TextChannel& channel) {
  const std::size_t count = channel.BufferPos;
  channel.BufferPos = 0;
  // After a failure the rest of the run's output is dropped, so that a
  // reader never sees a line with a hole in it, nor the tail of one.
  if (count == 0 || IoResult != 0 || channel.failed) return;
  if (const int error = channel.transfer(channel.buffer, count); error != 0) {
    IoResult = error;
    channel.failed = true;
  }
}

void Append(TextChannel& channel, std::string_view bytes) {
  while (!bytes.empty() && !channel.failed) {
    const std::size_t room = TextChannel::BufferSize - channel.BufferPos;
    const std::size_t take = std::min(room, bytes.size());
    std::copy_n(bytes.data(), take, channel.buffer + channel.BufferPos);
    channel.BufferPos += take;
    bytes.remove_prefix(take);
    if (channel.BufferPos == TextChannel::BufferSize) Transfer(channel);
  }
}

void AppendEscaped(std::string& shown, unsigned char byte) {
  static constexpr char digits[] = "0123456789ABCDEF";
  shown += "\\x";
  shown += digits[byte >> 4];
  shown += digits[byte & 0xF];
}

// True where a character, or a byte that no well-formed sequence holds,
// could drive a terminal: a control character, or a byte 0x80 to 0x9F.
bool IsControl(const Sequence& sequence, unsigned char byte) {
  if (sequence.length == 0) return byte <= 0x9F;
  return sequence.point < 0x20 || (sequence.point >= 0x7F && sequence.point <= 0x9F);
}

void AppendBlanks(TextChannel& channel, std::int64_t count) {
  for (; count > 0; --count) Append(channel, " ");
}

}  // namespace

void WriteText(TextChannel& channel, std::string_view text, std::int32_t width) {
  if (IoResult != 0) return;
  AppendBlanks(channel, std::int64_t{width} - static_cast<std::int64_t>(text.size()));
  Append(channel, text);
}

void WriteChar(TextChannel& channel, char ch, std::int32_t width) {
  WriteText(channel, std::string_view(&ch, 1), width);
}

void WriteNumber(TextChannel& channel, std::int32_t value, std::int32_t width) {
  // The magnitude as unsigned 32 bits, so that the most negative value
  // keeps all its digits.
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : value;
  char digits[11];
  char* first = digits + sizeof digits;
  do {
    *--first = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--first = '-';
  WriteText(channel, std::string_view(first, static_cast<std::size_t>(digits + sizeof digits - first)),
            width);
}

void WriteLineEnd(TextChannel& channel) {
  if (IoResult != 0) return;
  Append(channel, LineEnd);
  Transfer(channel);
}

void EndWrite(TextChannel& channel) {
  if (IoResult != 0) return;
  Transfer(channel);
}

void FlushChannel(TextChannel& channel) { Transfer(channel); }

std::string Printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Sequence sequence = ReadSequence(text.substr(i));
    const std::string_view head = text.substr(i, std::max<std::size_t>(sequence.length, 1));
    if (IsControl(sequence, static_cast<unsigned char>(head[0]))) {
      for (const char byte : head) AppendEscaped(shown, static_cast<unsigned char>(byte));
    } else {
      shown += head;
    }
    i += head.size();
  }
  return shown;
}

void WriteErrorLine(std::string_view text, Severity severity) {
  static const bool journal = StandardErrorIsJournal();
  std::string line;
  if (journal) line.append("<").append(std::to_string(static_cast<int>(severity))).append(">");
  line += text;
  line += LineEnd;
  // A pipe takes a long line in several writes, between which another
  // thread's line could slip in.
  static std::mutex writing;
  static bool torn = false;  // a piece of a line stays at the end of the file
  std::lock_guard lock(writing);
  if (!torn) TransferErrorLine(line, torn);
}

int WriteWhole(Stream stream, std::string_view bytes, bool& torn) {
  for (;;) {
    int error = 0;
    const std::size_t written = WriteSome(stream, bytes, error);
    if (written == bytes.size()) return 0;
    if (written == 0) return error;
    switch (TakeBack(stream, written)) {
      case Tail::NotAFile:
        bytes.remove_prefix(written);
        break;
      case Tail::Left:
        torn = true;
        return error;
      case Tail::TakenBack:
        return error;
    }
  }
}

void CloseStandardOutput() {
  IoResult = 0;
  FlushChannel(StandardOutput);
}

}  // namespace kelvane
