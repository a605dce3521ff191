// The fault report's text and runtime error number of the faults that
// tests/e2e/test_fault_probe.py does not raise with the probe, and of
// access violations at chosen addresses.
#include "runtime/fault_report.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>

#include "runtime/console.h"

namespace kelvane {
namespace {

constexpr std::size_t PointerDigits = 2 * sizeof(void*);

// A pointer as the report prints it.
std::string Pointer(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(PointerDigits), value);
  return text;
}

// "CLASS|MESSAGE" as the report of a fault in tool.exe at offset 1234.
std::string Report(const std::string& row) {
  const std::size_t bar = row.find('|');
  return "Exception " + row.substr(0, bar) + " in module tool.exe at " + Pointer(0x1234) + "." +
         std::string(LineEnd) + row.substr(bar + 1);
}

TEST(FaultReportTest, EachFaultGetsTheClassMessageAndNumberOfItsRow) {
  const std::string violation = "EAccessViolation|Access violation at address " + Pointer(0x10001234) + ". ";
  // clang-format off
  const std::tuple<Fault, std::string, int> cases[] = {
      {{.code = 0xC000008C}, "ERangeError|Range check error.", 201},
      {{.code = 0xC0000095}, "EIntOverflow|Integer overflow.", 215},
      {{.code = 0xC000008F}, "EInvalidOp|Invalid floating point operation.", 208},
      {{.code = 0xC0000090}, "EInvalidOp|Invalid floating point operation.", 207},
      {{.code = 0xC0000092}, "EInvalidOp|Invalid floating point operation.", 207},
      {{.code = 0xC0000091}, "EOverflow|Floating point overflow.", 205},
      {{.code = 0xC0000093}, "EUnderflow|Floating point underflow.", 206},
      {{.code = 0xC000008D}, "EUnderflow|Floating point underflow.", 209},
      {{.code = 0xC0000005, .address = 0x10001234}, violation + "Read of address " + Pointer(0) + ".", 216},
      {{.code = 0xC0000005, .address = 0x10001234, .write = true, .accessed = 0xFFF8}, violation + "Write of address " + Pointer(0xFFF8) + ".", 216},
      {{.code = 0xC0000096}, "EPrivilege|Privileged instruction.", 218}, {{.code = 0xC000013A}, "EControlC|Control-C hit.", 217},
      {{.code = 0x0000ABC0}, "EExternalException|External exception ABC0.", 217}};
  // clang-format on
  char buffer[512], small[12];
  for (const auto& [fault, row, number] : cases) {
    EXPECT_EQ(FormatFaultReport(fault, {"tool.exe", 0x1234}, buffer), Report(row));
    EXPECT_EQ(RuntimeErrorNumber(fault), number) << row;
  }
  EXPECT_EQ(FormatFaultReport({.code = 0xC0000005}, {"tool.exe", 0}, small), "Exception EA");
}

}  // namespace
}  // namespace kelvane
