#include "runtime/wide_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvane {
namespace {

std::string Narrow(std::u16string_view wide) { return NarrowText(wide); }
std::u16string Wide(std::string_view narrow) { return WideText<char16_t>(narrow); }

TEST(WideTextTest, EveryUtf16NameComesBackUnchanged) {
  const struct {
    std::u16string wide;
    std::string narrow;
  } cases[] = {
      {u"", ""},
      {u"20010101.zip", "20010101.zip"},
      {u"\u00e9\u00fc", "\xC3\xA9\xC3\xBC"},
      {u"\u65e5\u672c", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\uFFFF", "\xEF\xBF\xBF"},
      // Unpaired surrogates, which Windows names may hold.
      {u"a\xD800", "a\xED\xA0\x80"},
      {u"\xDC00"
       u"b",
       "\xED\xB0\x80"
       "b"},
      {u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},
      {u"\xD800"
       u"a\xDFFF",
       "\xED\xA0\x80"
       "a\xED\xBF\xBF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Narrow(c.wide), c.narrow);
    EXPECT_EQ(Wide(c.narrow), c.wide) << c.narrow;
  }
}

TEST(WideTextTest, BytesThatStartNoSequenceBecomeReplacementCharacters) {
  const struct {
    std::string narrow;
    std::u16string wide;
  } cases[] = {
      {"\xFF"
       "a",
       u"\uFFFD"
       u"a"},
      {"\xC0\x80", u"\uFFFD\uFFFD"},                      // overlong NUL
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong slash
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"a\xC3", u"a\uFFFD"},
      {"\xE6\x97"
       "x",
       u"\uFFFD\uFFFD"
       u"x"},
  };
  for (const auto& c : cases) EXPECT_EQ(Wide(c.narrow), c.wide) << c.narrow;
}

TEST(WideTextTest, WholeSequencesStopBeforeACutCharacter) {
  const struct {
    std::string text;
    std::size_t whole;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"a\xC3", 1},
      {"a\xC3\xA9", 3},
      {"\xE6", 0},
      {"\xE6\x97", 0},
      {"\xE6\x97\xA5", 3},
      {"x\xF0\x9F\x98", 1},
      {"x\xF0\x9F\x98\x80", 5},
      {"\x80\x80\x80\x80", 4},  // no sequence to wait for
  };
  for (const auto& c : cases) EXPECT_EQ(WholeSequences(c.text), c.whole) << c.text;
}

}  // namespace
}  // namespace kelvane
