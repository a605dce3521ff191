#include "runtime/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane {
namespace {

using Tokens = std::vector<std::u16string>;

Tokens Split(std::u16string_view line) { return SplitCommandLine(line); }

TEST(SplitCommandLineTest, FollowsTheWindowsRulesWithoutEscapes) {
  const struct {
    std::u16string line;
    Tokens tokens;
  } cases[] = {
      {u"", {}},
      {u" \t ", {}},
      {u"k", {u"k"}},
      {u"k \"\"", {u"k"}},
      {u"k \"\" C:\\arch", {u"k", u"C:\\arch"}},
      {u"k C:\\arch \"\" 30", {u"k", u"C:\\arch", u"30"}},
      {u"k \"C:\\My Archive\" 30", {u"k", u"C:\\My Archive", u"30"}},
      {u"k C:\\\"My Archive\"\\", {u"k", u"C:\\My Archive\\"}},
      {u"k ab\"c d\"e", {u"k", u"abc de"}},
      {u"k C:\\arch\t30", {u"k", u"C:\\arch", u"30"}},
      {u"k a\x01"
       u"b\x1F"
       u"c",
       {u"k", u"a", u"b", u"c"}},
      {u"k C:\\arch \"", {u"k", u"C:\\arch"}},
      {u"k \"an open stretch\tto the end", {u"k", u"an open stretch\tto the end"}},
      {u"k a\\\"b c", {u"k", u"a\\b c"}},
      {u"k \"\"\"x\" y", {u"k", u"x", u"y"}},
      {u"k a\"\"b", {u"k", u"ab"}},
      {u"\"C:\\Program Files\\k.exe\" x", {u"C:\\Program Files\\k.exe", u"x"}},
      {u"k \u00e9\u65e5\u672c \U0001F600", {u"k", u"\u00e9\u65e5\u672c", u"\U0001F600"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Split(c.line), c.tokens) << std::string(c.line.begin(), c.line.end());
}

TEST(SplitCommandLineTest, ALongTokenDoesNotDisturbTheNext) {
  const std::u16string longToken(300, u'a');
  EXPECT_EQ(Split(u"k " + longToken + u" 30"), (Tokens{u"k", longToken, u"30"}));
}

TEST(KeepUnitsTest, CutsBetweenCharactersOnly) {
  const std::u16string pair = u"\U0001F600";
  const struct {
    std::u16string token;
    std::u16string kept;
  } cases[] = {
      {std::u16string(300, u'a'), std::u16string(255, u'a')},
      {std::u16string(255, u'a'), std::u16string(255, u'a')},
      {std::u16string(254, u'a') + pair, std::u16string(254, u'a')},
      {std::u16string(253, u'a') + pair + u"b", std::u16string(253, u'a') + pair},
      {std::u16string(254, u'a') + u"\xD800" + u"b", std::u16string(254, u'a') + u"\xD800"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KeepUnits(std::u16string_view(c.token), 255), c.kept) << c.token.size();
}

}  // namespace
}  // namespace kelvane
