// The fault report: its text for every fault it knows, and what a program
// on the runtime writes and how it ends when it really faults.
#include "runtime/fault_report.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "runtime/console.h"
#include "support/support.h"

namespace kelvane {
namespace {

constexpr std::size_t PointerDigits = 2 * sizeof(void*);

// A pointer as the report prints it.
std::string Pointer(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(PointerDigits), value);
  return text;
}

// "CLASS|MESSAGE[|MODULE]" as the report of the fault at `at`.
std::string Report(const std::string& row, const std::string& module, const std::string& at) {
  const std::size_t bar = row.find('|'), second = row.find('|', bar + 1);
  return "Exception " + row.substr(0, bar) + " in module " +
         (second == std::string::npos ? module : row.substr(second + 1)) + " at " + at + "." +
         std::string(LineEnd) + row.substr(bar + 1, second - bar - 1);
}

// Matches text against a pattern in which each '@' stands for a pointer;
// gives the pointers' values, or nothing on a mismatch.
std::optional<std::vector<std::uintptr_t>> MatchPointers(std::string_view text, std::string_view pattern) {
  std::vector<std::uintptr_t> pointers;
  for (const char expected : pattern) {
    const std::string digits(text.substr(0, expected == '@' ? PointerDigits : 1));
    if (expected != '@' ? digits[0] != expected
                        : digits.size() != PointerDigits ||
                              digits.find_first_not_of("0123456789ABCDEF") != std::string::npos)
      return std::nullopt;
    if (expected == '@') pointers.push_back(std::stoull(digits, nullptr, 16));
    text.remove_prefix(digits.size());
  }
  return text.empty() ? std::optional(pointers) : std::nullopt;
}

TEST(FaultReportTest, EachFaultGetsTheClassMessageAndNumberOfItsRow) {
  const std::string violation = "EAccessViolation|Access violation at address " + Pointer(0x10001234) + ". ";
  // clang-format off
  const std::tuple<Fault, std::string, int> cases[] = {
      {{.source = Fault::Source::OutOfMemory}, "EOutOfMemory|Out of memory.", 203},
      {{.code = 0xC0000094}, "EDivByZero|Division by zero.", 200}, {{.code = 0xC000008C}, "ERangeError|Range check error.", 201},
      {{.code = 0xC0000095}, "EIntOverflow|Integer overflow.", 215},
      {{.code = 0xC000008F}, "EInvalidOp|Invalid floating point operation.", 208},
      {{.code = 0xC0000090}, "EInvalidOp|Invalid floating point operation.", 207},
      {{.code = 0xC0000092}, "EInvalidOp|Invalid floating point operation.", 207},
      {{.code = 0xC000008E}, "EZeroDivide|Floating point division by zero.", 200},
      {{.code = 0xC0000091}, "EOverflow|Floating point overflow.", 205},
      {{.code = 0xC0000093}, "EUnderflow|Floating point underflow.", 206},
      {{.code = 0xC000008D}, "EUnderflow|Floating point underflow.", 209},
      {{.code = 0xC0000005, .address = 0x10001234}, violation + "Read of address " + Pointer(0) + ".", 216},
      {{.code = 0xC0000005, .address = 0x10001234, .write = true, .accessed = 0xFFF8}, violation + "Write of address " + Pointer(0xFFF8) + ".", 216},
      {{.code = 0xC0000096}, "EPrivilege|Privileged instruction.", 218}, {{.code = 0xC000013A}, "EControlC|Control-C hit.", 217},
      {{.code = 0xC00000FD}, "EStackOverflow|Stack overflow.", 202},
      {{.code = 0xC000001D}, "EExternalException|External exception C000001D.", 217},
      {{.code = 0x0000ABC0}, "EExternalException|External exception ABC0.", 217}};
  // clang-format on
  char buffer[512], small[12];
  for (const auto& [fault, row, number] : cases) {
    EXPECT_EQ(FormatFaultReport(fault, {"tool.exe", 0x1234}, buffer),
              Report(row, "tool.exe", Pointer(0x1234)));
    EXPECT_EQ(RuntimeErrorNumber(fault), number) << row;
  }
  EXPECT_EQ(FormatFaultReport({.code = 0xC0000005}, {"tool.exe", 0}, small), "Exception EA");
}

// The probe ends one statement, leaves a second in the buffer and faults
// as its argument says, or during start-up as FAULT_PROBE_AT_START_UP says
// ("start:" rows, which give the runtime error line). "@" is a pointer.
TEST(FaultProbeTest, EachFaultIsReportedOnceAndEndsTheRunAsItsKindSays) {
  const std::string at = "EAccessViolation|Access violation at address @. ",
                    external = "EExternalException|External exception ";
  // clang-format off
  const std::tuple<std::string, std::string, int, char> cases[] = {  // platform: 'a' any, 'p' POSIX, 'w' Windows
      {"read", at + "Read of address " + Pointer(0) + ".", 1, 'a'}, {"write", at + "Write of address " + Pointer(0) + ".", 1, 'a'},
      {"divide", "EDivByZero|Division by zero.", 1, 'a'}, {"recurse", "EStackOverflow|Stack overflow.", 1, 'a'},
      {"recurse-on-thread", "EStackOverflow|Stack overflow.", 1, 'a'}, {"allocate", "EOutOfMemory|Out of memory.", 1, 'a'},
      {"float-divide", "EZeroDivide|Floating point division by zero.", 1, 'a'},
      {"float-overflow", "EOverflow|Floating point overflow.", 1, 'a'},
      {"float-underflow", "EUnderflow|Floating point underflow.", 1, 'a'},
      {"float-invalid", "EInvalidOp|Invalid floating point operation.", 1, 'a'},
      {"float-inexact", "EInvalidOp|Invalid floating point operation.", 1, 'a'},
      {"illegal", external + "C000001D.", 1, 'a'}, {"in-report", "", 1, 'a'},
      {"start:read", "216 (Exception C0000005)", 216, 'a'}, {"start:divide", "200 (Exception C0000094)", 200, 'a'},
      {"start:recurse", "202 (Exception C00000FD)", 202, 'a'}, {"start:float-divide", "200 (Exception C000008E)", 200, 'a'},
      {"start:illegal", "217 (Exception C000001D)", 217, 'a'}, {"start:allocate", "203", 203, 'a'},
      {"abort", external + "40000015.|libc.so.6", 1, 'p'}, {"trap", external + "80000003.|libc.so.6", 1, 'p'},
      {"bad-system-call", external + "C000001C.|libc.so.6", 1, 'p'},
      {"hang-up", "", 128 + 1, 'p'}, {"interrupt", "", 128 + 2, 'p'}, {"terminate", "", 128 + 15, 'p'},
      {"sent-segv", "", 128 + 11, 'p'},
      {"trap", external + "80000003.", 1, 'w'}, {"privileged", "EPrivilege|Privileged instruction.", 1, 'w'},
      {"abort", external + "40000015.|msvcrt.dll", 1, 'w'}, {"memory-gone", "EOutOfMemory|Out of memory.", 1, 'w'},
      {"copy:divide", "EDivByZero|Division by zero.|prob\x82?.exe", 1, 'w'}};
  // clang-format on
  const std::string probe = FAULT_PROBE_BINARY, module = probe.substr(probe.find_last_of("/\\") + 1);
  const std::string end(LineEnd);
  for (const auto& [fault, says, exitCode, platform] : cases) {
    if (platform != 'a' && (platform == 'p') != testing::HavePosix()) continue;
    SCOPED_TRACE(fault);
    const bool startUp = fault.starts_with("start:");
    const std::string kind = fault.substr(fault.find(':') + 1);
    // "copy:" rows run a copy of the probe named "probé日.exe", which a file
    // gets in the OEM code page, as it gets every name.
    const testing::TempDir dir;
    const std::string program = fault.starts_with("copy:") ? dir / "prob\u00e9\u65e5.exe" : probe;
    if (program != probe) testing::WriteFile(program, testing::ReadFile(probe));
    const testing::RunResult run =
        testing::RunProgram(program, {startUp ? "none" : kind},
                            {.environment = startUp ? std::vector{"FAULT_PROBE_AT_START_UP=" + kind}
                                                    : std::vector<std::string>{}});
    EXPECT_EQ(run.exitCode, exitCode);
    // A signal that ends the run outright leaves the buffer unwritten.
    std::string out = startUp ? "" : "written before the fault" + end;
    if (!startUp && exitCode < 128)
      out += (says.empty() ? "" : Report(says, module, "@")) + "left in the buffer";
    const std::string err =
        startUp ? "Runtime error " + says.substr(0, 3) + " at @" + says.substr(3) + " TID=1." + end : "";
    const auto pointers = MatchPointers(run.out, out);
    ASSERT_TRUE(pointers) << run.out;
    EXPECT_TRUE(MatchPointers(run.err, err)) << run.err;
    // The offset lies inside the probe, which is loaded at a page boundary.
    EXPECT_TRUE(pointers->size() != 2 || ((*pointers)[1] - (*pointers)[0]) % 4096 == 0) << run.out;
  }
}

}  // namespace
}  // namespace kelvane
