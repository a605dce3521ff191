// Entry names dated relative to today's local date.
#pragma once

#include <cstdint>
#include <string>

namespace kelvane::testing {

// yyyymmdd of the local date `days` days before today (after, when negative).
std::string DateDaysAgo(int days);

// Day number of today's local date.
std::int32_t TodayNumber();

}  // namespace kelvane::testing
