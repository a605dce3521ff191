#include "runtime/file_system.h"

#include <gtest/gtest.h>

// Which entries a search's attribute mask lets through.
namespace kelvane {
namespace {

TEST(PassesFilterTest, LowByteAllowsSecondByteRequires) {
  const struct {
    std::uint8_t attributes;
    std::uint32_t mask;
    bool passes;
  } cases[] = {
      {0x00, 0x37, true},   {0x01, 0x37, true},      {0x02, 0x37, true},    {0x04, 0x37, true},
      {0x10, 0x37, true},   {0x20, 0x37, true},      {0x08, 0x37, false},   {0x18, 0x37, false},
      {0x08, 0x3F, true},   {0x01, 0x00, true},      {0x40, 0x00, true},    {0x02, 0x00, false},
      {0x10, 0x1037, true}, {0x00, 0x1037, false},   {0x20, 0x1037, false}, {0x10, 0x27, false},
      {0x10, 0x1000, true}, {0x10, 0xFF0000, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PassesFilter(c.attributes, c.mask), c.passes)
        << std::hex << "attributes " << int{c.attributes} << " mask " << c.mask;
}

}  // namespace
}  // namespace kelvane
