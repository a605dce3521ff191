#include "runtime/console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane {
namespace {

// Records every transfer but the one numbered `failing` (from 0), which
// fails as a full disk would.
std::vector<std::string> transfers;
std::size_t calls = 0, failing = SIZE_MAX;

int Record(const char* bytes, std::size_t count) {
  if (calls++ == failing) return 28;
  transfers.emplace_back(bytes, count);
  return 0;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    transfers.clear();
    calls = 0;
    failing = SIZE_MAX;
    IoResult = 0;
    channel.transfer = Record;
  }
  void TearDown() override { IoResult = 0; }

  TextChannel channel;
};

TEST_F(ConsoleTest, FieldsPadOnlyWhenTheWidthExceedsTheText) {
  const struct {
    std::int32_t value, width;
    std::string text;
  } cases[] = {
      {133, 0, "133"},   {-5, 0, "-5"},   {0, 0, "0"},    {INT32_MIN, 0, "-2147483648"},
      {133, 5, "  133"}, {133, 2, "133"}, {-5, -3, "-5"}, {INT32_MAX, 0, "2147483647"},
  };
  for (const auto& c : cases) {
    WriteNumber(channel, c.value, c.width);
    EndWrite(channel);
    EXPECT_EQ(transfers.back(), c.text) << c.value << " width " << c.width;
  }
  WriteText(channel, "ab", 4);
  WriteChar(channel, 'c', 3);
  EndWrite(channel);
  EXPECT_EQ(transfers.back(), "  ab  c");
}

TEST_F(ConsoleTest, EveryStatementReachesThePlatformWhenItEnds) {
  WriteText(channel, "name");
  EXPECT_TRUE(transfers.empty());
  EndWrite(channel);
  WriteChar(channel, ' ');
  WriteNumber(channel, 41);
  WriteLineEnd(channel);
  EXPECT_EQ(transfers, (std::vector<std::string>{"name", " 41" + std::string(LineEnd)}));

  transfers.clear();
  WriteText(channel, std::string(300, 'x'));
  EXPECT_EQ(transfers.size(), 2u) << "a full buffer is handed over at once";
  EndWrite(channel);
  ASSERT_EQ(transfers.size(), 3u);
  EXPECT_EQ(transfers[0].size() + transfers[1].size() + transfers[2].size(), 300u);
  EXPECT_EQ(transfers[0].size(), TextChannel::BufferSize);
}

// Also the tail of a statement longer than the buffer, whose head failed,
// and what is left when the run ends.
TEST_F(ConsoleTest, AFailedTransferSilencesTheRestOfTheRun) {
  failing = 1;
  WriteText(channel, "first");
  WriteLineEnd(channel);
  WriteText(channel, std::string(TextChannel::BufferSize + 12, 's'));
  WriteLineEnd(channel);
  EXPECT_EQ(IoResult, 28);
  WriteText(channel, "third");
  EndWrite(channel);
  IoResult = 0;
  FlushChannel(channel);
  EXPECT_EQ(transfers, (std::vector<std::string>{"first" + std::string(LineEnd)}));
}

TEST(PrintableTest, ShowsControlCharactersAsTheirBytes) {
  const struct {
    std::string name, shown;
  } cases[] = {
      {"20010101\n20010102 9 days old", "20010101\\x0A20010102 9 days old"},
      {"\x01\r\x1B[2J\x1F\x7F", "\\x01\\x0D\\x1B[2J\\x1F\\x7F"},
      {"\xC2\x80\xC2\x9F", "\\xC2\\x80\\xC2\\x9F"},
      {"\\x20 \xC2\xA0\xC3\xA9\x80\x9F\xFF\xC2", "\\x20 \xC2\xA0\xC3\xA9\x80\x9F\xFF\xC2"},
  };
  for (const auto& c : cases) EXPECT_EQ(Printable(c.name), c.shown);
}

}  // namespace
}  // namespace kelvane
