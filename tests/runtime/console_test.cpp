#include "runtime/console.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Every transfer but the one numbered `failing` (from 0), which fails as a
// full disk would.
std::vector<std::string> transfers;
std::size_t calls = 0, failing = 1;

int Record(const char* bytes, std::size_t count) {
  if (calls++ == failing) return 28;
  transfers.emplace_back(bytes, count);
  return 0;
}

// Nothing more is written once a transfer failed: not the tail of a
// statement longer than the buffer, nor what is left when the run ends.
TEST(ConsoleTest, AFailedTransferSilencesTheRestOfTheRun) {
  TextChannel channel{.transfer = Record};
  WriteText(channel, "first");
  WriteLineEnd(channel);
  WriteText(channel, std::string(TextChannel::BufferSize + 12, 's'));
  WriteLineEnd(channel);
  EXPECT_EQ(IoResult, 28);
  IoResult = 0;
  WriteText(channel, "third");
  EndWrite(channel);
  FlushChannel(channel);
  EXPECT_EQ(transfers, std::vector<std::string>{"first" + std::string(LineEnd)});
}

// Bytes 0x80 to 0x9F are controls alone and in UTF-8, but not inside
// another character (U+65E5, U+00C0).
TEST(PrintableTest, ShowsControlCharactersAsTheirBytes) {
  EXPECT_EQ(
      Printable(
          "a\n\x01\r\x1B[\x1F\x7F\xC2\x80\xC2\x9F\\x20 \xC2\xA0\xC3\xA9\x80\x9B\xFF\xC2\xE6\x97\xA5\xC3\x80"),
      "a\\x0A\\x01\\x0D\\x1B[\\x1F\\x7F\\xC2\\x80\\xC2\\x9F\\x20 "
      "\xC2\xA0\xC3\xA9\\x80\\x9B\xFF\xC2\xE6\x97\xA5\xC3\x80");
}

}  // namespace
}  // namespace kelvane
