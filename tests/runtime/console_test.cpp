#include "runtime/console.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

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
