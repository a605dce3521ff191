#include "runtime/wide_text.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Each boundary of the sequence lengths, the unpaired surrogates that
// Windows names may hold, bytes that start no sequence, and text cut
// inside a character.
TEST(WideTextTest, ConvertsBothWays) {
  // clang-format off
  const std::pair<std::string_view, std::u16string_view> cases[] = {
      {"", u""}, {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80", u"\x7F\x80\u07FF\u0800"},
      {"\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\uFFFF\U00010000\U0010FFFF"}, {"a\xED\xAF\xBF", u"a\xDBFF"},
      {"\xED\xB0\x80\xED\xA0\x80!\xED\xBF\xBF", u"\xDC00\xD800!\xDFFF"}, {"a\xC3\xA9", u"a\u00e9"},
      {"x\xF0\x9F\x98\x80", u"x\U0001F600"}, {"\xFF!\x80\xC1", u"\uFFFD!\uFFFD\uFFFD"},
      {"\xE0\x9F\xBF!\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD!\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xF4\x90\x80\x80!\xF5\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD!\uFFFD\uFFFD"},
      {"\xE6\x97!\xC3\xC3\xA9", u"\uFFFD\uFFFD!\uFFFD\u00e9"}, {"x\xF0\x9F\x98", u"x\uFFFD\uFFFD\uFFFD"},
      {"a\x80", u"a\uFFFD"}};
  // clang-format on
  for (const auto& [narrow, wide] : cases) {
    EXPECT_EQ(WideText<char16_t>(narrow), wide);
    // Text with U+FFFD came from bytes that no UTF-16 text gives back.
    EXPECT_EQ(WideText<char16_t>(NarrowText(wide)), wide);
    if (wide.find(u'\uFFFD') == wide.npos) {
      EXPECT_EQ(NarrowText(wide), narrow);
    }
  }
}

}  // namespace
}  // namespace kelvane
