#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <vector>

#include "runtime/console.h"

namespace kelvane {
namespace {

// Lines longer than a pipe holds take several writes each: written by
// several threads at once, they still come out whole.
TEST(ConsoleTest, ErrorLinesOfSeveralThreadsNeverMix) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(ends[1], STDERR_FILENO);
  close(ends[1]);
  std::string all;
  std::thread reader([&] {
    char bytes[4096];
    for (ssize_t n; (n = read(ends[0], bytes, sizeof bytes)) > 0;)
      all.append(bytes, static_cast<std::size_t>(n));
  });
  std::vector<std::jthread> writers;
  for (const char mark : {'a', 'b', 'c', 'd'})
    writers.emplace_back([mark] {
      for (int i = 0; i < 8; ++i) WriteErrorLine(std::string(200'000, mark));
    });
  writers.clear();             // joins them
  dup2(saved, STDERR_FILENO);  // the last write end goes: the reader meets the end
  reader.join();
  std::istringstream lines(all);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_EQ(line, std::string(200'000, line[0]));
  EXPECT_EQ(count, 32);
}

}  // namespace
}  // namespace kelvane
