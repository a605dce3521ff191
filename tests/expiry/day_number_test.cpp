#include "expiry/day_number.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>

namespace kelvane {
namespace {

TEST(LeadingIntegerTest, ReadsTheNumberAtTheHeadOfTheText) {
  // clang-format off
  const std::pair<std::string, std::int32_t> cases[] = {
      {"", 0}, {"   ", 0}, {"abc", 0}, {"12ab", 12}, {"40days", 40}, {" 7", 7}, {"7 ", 7}, {"\t7", 0},
      {"-5", -5}, {"+5", 5}, {"-", 0}, {"+", 0}, {"$", 0}, {"- 5", 0}, {"--5", 0}, {"+-5", 0}, {"007", 7},
      {"1e3", 1}, {"0x1F", 0}, {"$1F", 31}, {"$1f", 31}, {"-$1F", -31}, {"$-1F", 0}, {"$G", 0}, {"$1G", 1},
      {"$FFFFFFFF", -1}, {"$80000000", INT32_MIN}, {"$100000000", 268435456}, {"$000000001F", 31},
      {"2147483647", 2147483647}, {"2147483648", 214748364}, {"-2147483648", -214748364},
      {"4294967296", 429496729}};
  // clang-format on
  for (const auto& [text, value] : cases) EXPECT_EQ(LeadingInteger(text), value) << '"' << text << '"';
}

// Out-of-range fields roll over into the next month or year; dates before
// 1970 count as none.
TEST(DayNumberTest, CountsDaysFromTheFirstOf1970) {
  const std::int32_t cases[][4] = {
      {31, 12, 1969, 0},     {0, 1, 1970, 0},      {1, 1, -4, 0},         {31, 2, 2001, 11385},
      {99, 12, 2001, 11756}, {1, 13, 2001, 11690}, {1, 13, 2000, 11325},  {1, 14, 2001, 11324},
      {1, 14, 2000, 10959},  {1, 0, 2001, 11324},  {99, 13, 1999, 11057},
  };
  for (const auto& [day, month, year, number] : cases)
    EXPECT_EQ(DayNumber(day, month, year), number) << day << '.' << month << '.' << year;
  // Every real date from 1970 to 9999 gets the count of the standard calendar.
  using namespace std::chrono;
  for (sys_days day = sys_days{1970y / 1 / 1}; day <= sys_days{9999y / 12 / 31}; day += days{1}) {
    const year_month_day date{day};
    ASSERT_EQ(DayNumber(unsigned(date.day()), unsigned(date.month()), int(date.year())),
              day.time_since_epoch().count() + 1)
        << day.time_since_epoch().count();
  }
}

TEST(DateFromNameTest, ReadsFieldsAtFixedPositions) {
  // clang-format off
  const std::tuple<std::string, std::int32_t, std::int32_t, std::int32_t, bool> cases[] = {
      {"20010514backup", 2001, 5, 14, true}, {"2001051", 2001, 5, 1, true}, {"1999123", 1999, 12, 3, true},
      {"200105", 2001, 5, 0, false}, {"2001 5 1", 2001, 5, 1, true}, {"20015x1y", 2001, 5, 1, true},
      {"$7D10501", 2001, 5, 1, true}, {"2001-05-14", 2001, 0, 5, false}, {"19991399", 1999, 13, 99, true},
      {"00010101", 1, 1, 1, true}, {"00000101", 0, 1, 1, false}, {"-0010101", -1, 1, 1, false},
      {"..", 0, 0, 0, false}, {"+20010514", 200, 10, 51, true}, {"2001A101", 2001, 0, 1, false}};
  // clang-format on
  for (const auto& [name, year, month, day, dated] : cases) {
    const NameDate date = DateFromName(name);
    EXPECT_EQ(std::tuple(date.year, date.month, date.day, date.IsDated()),
              std::tuple(year, month, day, dated))
        << name;
  }
}

}  // namespace
}  // namespace kelvane
