// The fault report: its text for every row of the fault table, and what a
// program on the runtime writes and how it ends when it really faults.
#include "runtime/fault_report.h"

#include <gtest/gtest.h>

#include "runtime/console.h"
#include "support/probe.h"

namespace kelvane {
namespace {

using testing::MatchPointers;
using testing::Pointer;
using testing::ProbeModule;
using testing::RunProbe;
using testing::RunResult;

const std::string& Before = testing::ProbeBefore;
const std::string& Pending = testing::ProbePending;

std::string Report(const Fault& fault, FaultLocation location) {
  char buffer[512];
  return std::string(FormatFaultReport(fault, location, buffer));
}

std::string RuntimeErrorLine(const Fault& fault) {
  char buffer[128];
  return std::string(FormatRuntimeErrorLine(fault, buffer));
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

TEST(FaultReportTest, TheRunTimeErrorLineGivesThePlatformCodeOfPlatformFaults) {
  EXPECT_EQ(
      RuntimeErrorLine({.code = 0xC00000FD, .address = 0x401234}),
      "Runtime error 202 at " + Pointer(0x401234) + " (Exception C00000FD) TID=1." + std::string(LineEnd));
  EXPECT_EQ(RuntimeErrorLine({.source = Fault::Source::OutOfMemory}),
            "Runtime error 203 at " + Pointer(0) + " TID=1." + std::string(LineEnd));
}

TEST(FaultReportTest, TextStopsAtTheEndOfTheBuffer) {
  char buffer[12];
  EXPECT_EQ(FormatFaultReport({.code = 0xC0000005}, {"tool.exe", 0}, buffer), "Exception EA");
}

TEST(FaultProbeTest, AnAccessViolationNamesTheInstructionAndTheAddressAccessed) {
  for (const auto& [fault, kind] : {std::pair{"read", "Read"}, {"write", "Write"}}) {
    const RunResult run = RunProbe(fault);
    const auto pointers =
        MatchPointers(run.out, Before + "Exception EAccessViolation in module " + ProbeModule() + " at @." +
                                   std::string(LineEnd) + "Access violation at address @. " + kind +
                                   " of address " + Pointer(0) + "." + Pending);
    ASSERT_TRUE(pointers) << run.out;
    // The offset lies inside the probe, which is loaded at a page boundary.
    const std::uintptr_t offset = (*pointers)[0], absolute = (*pointers)[1];
    EXPECT_GT(offset, 0u);
    EXPECT_LE(offset, absolute);
    EXPECT_EQ((absolute - offset) % 4096, 0u);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 1);
  }
}

TEST(FaultProbeTest, EachFaultOfTheRunIsReportedOnceWithItsClassAndMessage) {
  const struct {
    std::string fault, className, message;
  } cases[] = {
      {"divide", "EDivByZero", "Division by zero."},
      {"recurse", "EStackOverflow", "Stack overflow."},
      {"recurse-on-thread", "EStackOverflow", "Stack overflow."},
      {"float-divide", "EZeroDivide", "Floating point division by zero."},
      {"float-overflow", "EOverflow", "Floating point overflow."},
      {"float-underflow", "EUnderflow", "Floating point underflow."},
      {"float-invalid", "EInvalidOp", "Invalid floating point operation."},
      {"float-inexact", "EInvalidOp", "Invalid floating point operation."},
      {"illegal", "EExternalException", "External exception C000001D."},
  };
  for (const auto& c : cases) {
    const RunResult run = RunProbe(c.fault);
    EXPECT_TRUE(MatchPointers(run.out, Before + "Exception " + c.className + " in module " + ProbeModule() +
                                           " at @." + std::string(LineEnd) + c.message + Pending))
        << c.fault << ": " << run.out;
    EXPECT_EQ(run.err, "") << c.fault;
    EXPECT_EQ(run.exitCode, 1) << c.fault;
  }
}

TEST(FaultProbeTest, MemoryRunningOutIsReportedWithoutAnAddress) {
  const RunResult run = RunProbe("allocate");
  EXPECT_EQ(run.out, Before + "Exception EOutOfMemory in module " + ProbeModule() + " at " + Pointer(0) +
                         "." + std::string(LineEnd) + "Out of memory." + Pending);
  EXPECT_EQ(run.exitCode, 1);
}

TEST(FaultProbeTest, AFaultInsideTheReportEndsTheRunWithoutASecondReport) {
  const RunResult run = RunProbe("in-report");
  EXPECT_EQ(run.out, Before + Pending);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(FaultProbeTest, AFaultDuringStartUpEndsWithTheRunTimeErrorLine) {
  const struct {
    std::string fault;
    int runtimeError;
    std::string exception;
  } cases[] = {
      {"read", 216, " (Exception C0000005)"},    {"divide", 200, " (Exception C0000094)"},
      {"recurse", 202, " (Exception C00000FD)"}, {"float-divide", 200, " (Exception C000008E)"},
      {"illegal", 217, " (Exception C000001D)"}, {"allocate", 203, ""},
  };
  for (const auto& c : cases) {
    const RunResult run = RunProbe("none", {.environment = {"FAULT_PROBE_AT_START_UP=" + c.fault}});
    EXPECT_EQ(run.out, "") << c.fault;
    EXPECT_TRUE(MatchPointers(run.err, "Runtime error " + std::to_string(c.runtimeError) + " at @" +
                                           c.exception + " TID=1." + std::string(LineEnd)))
        << c.fault << ": " << run.err;
    EXPECT_EQ(run.exitCode, c.runtimeError) << c.fault;
  }
}

}  // namespace
}  // namespace kelvane
