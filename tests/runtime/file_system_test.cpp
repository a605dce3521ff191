#include "runtime/file_system.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Which entries a search's attribute mask lets through: the low byte
// allows attributes, the second byte requires them.
TEST(PassesFilterTest, LowByteAllowsSecondByteRequires) {
  // clang-format off
  const std::tuple<std::uint8_t, std::uint32_t, bool> cases[] = {
      {0x00, 0x37, true}, {0x01, 0x37, true}, {0x02, 0x37, true}, {0x04, 0x37, true}, {0x10, 0x37, true},
      {0x20, 0x37, true}, {0x08, 0x37, false}, {0x18, 0x37, false}, {0x08, 0x3F, true}, {0x01, 0x00, true},
      {0x40, 0x00, true}, {0x02, 0x00, false}, {0x10, 0x1037, true}, {0x00, 0x1037, false}, {0x20, 0x1037, false},
      {0x10, 0x27, false}, {0x10, 0x1000, true}, {0x10, 0xFF0000, false}};
  // clang-format on
  for (const auto& [attributes, mask, passes] : cases)
    EXPECT_EQ(PassesFilter(attributes, mask), passes) << std::hex << int{attributes} << " " << mask;
}

}  // namespace
}  // namespace kelvane
