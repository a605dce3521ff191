// The fault report: its text for every row of the fault table, and what a
// program on the runtime writes and how it ends when it really faults.
#include "runtime/fault_report.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "runtime/console.h"
#include "support/support.h"

namespace kelvane {
namespace {

using testing::RunResult;

constexpr std::size_t PointerDigits = 2 * sizeof(void*);

// A pointer as the report prints it.
std::string Pointer(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(PointerDigits), value);
  return text;
}

// Matches text against a pattern in which each '@' stands for a pointer;
// gives the pointers' values, or nothing on a mismatch.
std::optional<std::vector<std::uintptr_t>> MatchPointers(std::string_view text, std::string_view pattern) {
  std::vector<std::uintptr_t> pointers;
  for (const char expected : pattern) {
    if (expected != '@') {
      if (text.empty() || text.front() != expected) return std::nullopt;
      text.remove_prefix(1);
      continue;
    }
    const std::string digits(text.substr(0, PointerDigits));
    if (digits.size() != PointerDigits || digits.find_first_not_of("0123456789ABCDEF") != std::string::npos)
      return std::nullopt;
    pointers.push_back(std::stoull(digits, nullptr, 16));
    text.remove_prefix(PointerDigits);
  }
  if (!text.empty()) return std::nullopt;
  return pointers;
}

std::string Report(const Fault& fault, FaultLocation location) {
  char buffer[512];
  return std::string(FormatFaultReport(fault, location, buffer));
}

TEST(FaultReportTest, EachFaultGetsTheClassMessageAndNumberOfItsRow) {
  const std::string violation = "Access violation at address " + Pointer(0x10001234);
  const struct {
    Fault fault;
    std::string className, message;
    int runtimeError;
  } cases[] = {
      {{.source = Fault::Source::OutOfMemory}, "EOutOfMemory", "Out of memory.", 203},
      {{.code = 0xC0000094}, "EDivByZero", "Division by zero.", 200},
      {{.code = 0xC000008C}, "ERangeError", "Range check error.", 201},
      {{.code = 0xC0000095}, "EIntOverflow", "Integer overflow.", 215},
      {{.code = 0xC000008F}, "EInvalidOp", "Invalid floating point operation.", 208},
      {{.code = 0xC0000090}, "EInvalidOp", "Invalid floating point operation.", 207},
      {{.code = 0xC0000092}, "EInvalidOp", "Invalid floating point operation.", 207},
      {{.code = 0xC000008E}, "EZeroDivide", "Floating point division by zero.", 200},
      {{.code = 0xC0000091}, "EOverflow", "Floating point overflow.", 205},
      {{.code = 0xC0000093}, "EUnderflow", "Floating point underflow.", 206},
      {{.code = 0xC000008D}, "EUnderflow", "Floating point underflow.", 209},
      {{.code = 0xC0000005, .address = 0x10001234},
       "EAccessViolation",
       violation + ". Read of address " + Pointer(0) + ".",
       216},
      {{.code = 0xC0000005, .address = 0x10001234, .write = true, .accessed = 0xFFF8},
       "EAccessViolation",
       violation + ". Write of address " + Pointer(0xFFF8) + ".",
       216},
      {{.code = 0xC0000096}, "EPrivilege", "Privileged instruction.", 218},
      {{.code = 0xC000013A}, "EControlC", "Control-C hit.", 217},
      {{.code = 0xC00000FD}, "EStackOverflow", "Stack overflow.", 202},
      {{.code = 0xC000001D}, "EExternalException", "External exception C000001D.", 217},
      {{.code = 0x0000ABC0}, "EExternalException", "External exception ABC0.", 217},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Report(c.fault, {"tool.exe", 0x1234}), "Exception " + c.className + " in module tool.exe at " +
                                                         Pointer(0x1234) + "." + std::string(LineEnd) +
                                                         c.message);
    EXPECT_EQ(RuntimeErrorNumber(c.fault), c.runtimeError) << c.className;
  }
}

TEST(FaultReportTest, TextStopsAtTheEndOfTheBuffer) {
  char buffer[12];
  EXPECT_EQ(FormatFaultReport({.code = 0xC0000005}, {"tool.exe", 0}, buffer), "Exception EA");
}

// The probe ends one statement, leaves a second in the buffer and faults
// as its argument says, or during start-up as FAULT_PROBE_AT_START_UP says.
// In the patterns "$M" is the probe's module, "$P" the statement left in
// the buffer and "@" a pointer.
TEST(FaultProbeTest, EachFaultIsReportedOnceAndEndsTheRunAsItsKindSays) {
  const auto report = [](const std::string& className, const std::string& message,
                         const char* module = "$M") {
    return "Exception " + className + " in module " + module + " at @." + std::string(LineEnd) + message +
           "$P";
  };
  const auto runtimeError = [](int number, const std::string& code) {
    return "Runtime error " + std::to_string(number) + " at @" + code + " TID=1." + std::string(LineEnd);
  };
  const std::string violation = "EAccessViolation", at = "Access violation at address @. ";
  const std::string invalid = "Invalid floating point operation.", external = "EExternalException";
  const struct {
    std::string fault, startUp, out, err;
    int exitCode;
    char platform = 'a';  // 'p': POSIX only, 'w': Windows only
  } cases[] = {
      {"read", "", report(violation, at + "Read of address " + Pointer(0) + "."), "", 1},
      {"write", "", report(violation, at + "Write of address " + Pointer(0) + "."), "", 1},
      {"divide", "", report("EDivByZero", "Division by zero."), "", 1},
      {"recurse", "", report("EStackOverflow", "Stack overflow."), "", 1},
      {"recurse-on-thread", "", report("EStackOverflow", "Stack overflow."), "", 1},
      {"allocate", "", report("EOutOfMemory", "Out of memory."), "", 1},
      {"float-divide", "", report("EZeroDivide", "Floating point division by zero."), "", 1},
      {"float-overflow", "", report("EOverflow", "Floating point overflow."), "", 1},
      {"float-underflow", "", report("EUnderflow", "Floating point underflow."), "", 1},
      {"float-invalid", "", report("EInvalidOp", invalid), "", 1},
      {"float-inexact", "", report("EInvalidOp", invalid), "", 1},
      {"illegal", "", report(external, "External exception C000001D."), "", 1},
      {"in-report", "", "$P", "", 1},
      {"none", "read", "", runtimeError(216, " (Exception C0000005)"), 216},
      {"none", "divide", "", runtimeError(200, " (Exception C0000094)"), 200},
      {"none", "recurse", "", runtimeError(202, " (Exception C00000FD)"), 202},
      {"none", "float-divide", "", runtimeError(200, " (Exception C000008E)"), 200},
      {"none", "illegal", "", runtimeError(217, " (Exception C000001D)"), 217},
      {"none", "allocate", "", runtimeError(203, ""), 203},
      {"abort", "", report(external, "External exception 40000015.", "libc.so.6"), "", 1, 'p'},
      {"trap", "", report(external, "External exception 80000003.", "libc.so.6"), "", 1, 'p'},
      {"bad-system-call", "", report(external, "External exception C000001C.", "libc.so.6"), "", 1, 'p'},
      {"trap", "", report(external, "External exception 80000003."), "", 1, 'w'},
      {"privileged", "", report("EPrivilege", "Privileged instruction."), "", 1, 'w'},
      {"abort", "", report(external, "External exception 40000015.", "msvcrt.dll"), "", 1, 'w'},
      {"memory-gone", "", report("EOutOfMemory", "Out of memory."), "", 1, 'w'},
      {"hang-up", "", "", "", 128 + 1, 'p'},
      {"interrupt", "", "", "", 128 + 2, 'p'},
      {"terminate", "", "", "", 128 + 15, 'p'},
  };
  const std::string probe = FAULT_PROBE_BINARY;
  const std::string module = probe.substr(probe.find_last_of("/\\") + 1);
  for (const auto& c : cases) {
    if (c.platform != 'a' && (c.platform == 'p') != testing::HavePosix()) continue;
    SCOPED_TRACE(c.fault + " " + c.startUp);
    std::vector<std::string> environment;
    if (!c.startUp.empty()) environment.push_back("FAULT_PROBE_AT_START_UP=" + c.startUp);
    const RunResult run = testing::RunProgram(probe, {c.fault}, {.environment = environment});
    EXPECT_EQ(run.exitCode, c.exitCode);
    std::string out = c.startUp.empty() ? "written before the fault" + std::string(LineEnd) + c.out : "";
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"$M", module}, {"$P", "left in the buffer"}})
      for (std::size_t i; (i = out.find(from)) != std::string::npos;) out.replace(i, from.size(), to);
    const auto pointers = MatchPointers(run.out, out);
    ASSERT_TRUE(pointers) << run.out;
    EXPECT_TRUE(MatchPointers(run.err, c.err)) << run.err;
    // The offset lies inside the probe, which is loaded at a page boundary.
    EXPECT_TRUE(pointers->size() != 2 || ((*pointers)[1] - (*pointers)[0]) % 4096 == 0) << run.out;
  }
}

}  // namespace
}  // namespace kelvane
