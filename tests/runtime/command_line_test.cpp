#include "runtime/command_line.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using namespace std::string_view_literals;

TEST(SplitCommandLineTest, FollowsTheWindowsRulesWithoutEscapes) {
  // clang-format off
  const std::pair<std::u16string_view, std::vector<std::u16string>> cases[] = {
      {u"k\x01x!\x20!", {u"k", u"x!", u"!"}},
      {u"k a\u0120\u0122b", {u"k", u"a\u0120\u0122b"}},  // a unit is compared whole: neither a blank nor a quote
      {u"k x\0y"sv, {u"k", u"x"}}, {u"k C:\\\"My Archive\"\\ 30", {u"k", u"C:\\My Archive\\", u"30"}},
      {u"k a\"\"b \"\"\"x\" y", {u"k", u"ab", u"x", u"y"}}, {u"k a\\\"b c", {u"k", u"a\\b c"}},
      {u"k \" \" \"open\tto the end", {u"k", u" ", u"open\tto the end"}}, {u"k \"", {u"k"}},
      {u"k \"\" \" x", {u"k", u" x"}}, {u"k \u00e9 \U0001F600", {u"k", u"\u00e9", u"\U0001F600"}}};
  // clang-format on
  for (const auto& [line, tokens] : cases) EXPECT_EQ(SplitCommandLine(line), tokens);
}

TEST(KeepUnitsTest, CutsBetweenCharactersOnly) {
  // clang-format off
  const std::pair<std::u16string_view, std::u16string_view> cases[] = {
      {u"abcd", u"abc"}, {u"abc", u"abc"}, {u"ab\U0001F600", u"ab"}, {u"a\U0001F600b", u"a\U0001F600"},
      {u"ab\xD800\xD800", u"ab\xD800"}, {u"ab\xDC00\xDC00", u"ab\xDC00"}};
  // clang-format on
  for (const auto& [token, kept] : cases) EXPECT_EQ(KeepUnits(token, 3), kept);
  EXPECT_EQ(KeepUnits(u"\U0001F600"sv, 1), u""sv);
}

}  // namespace
}  // namespace kelvane
