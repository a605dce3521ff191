// What only Windows has: faults raised by its own instructions and inside
// its system DLLs, and Ctrl-C.
#define WIN32_LEAN_AND_MEAN
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>

#include "runtime/console.h"
#include "support/probe.h"
#include "support/windows.h"

namespace kelvane {
namespace {

using testing::MatchPointers;
using testing::ProbeModule;
using testing::RunProbe;
using testing::RunResult;

const std::string& Before = testing::ProbeBefore;
const std::string& Pending = testing::ProbePending;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The module that a report names: Windows spells the names of its own
// DLLs as their files are spelled (KERNELBASE.dll), Wine in lower case.
std::string ReportedModule(const std::string& report) {
  const std::string before = " in module ", after = " at ";
  const std::size_t start = report.find(before);
  if (start == std::string::npos) return {};
  const std::size_t end = report.find(after, start + before.size());
  return end == std::string::npos ? std::string()
                                  : report.substr(start + before.size(), end - start - before.size());
}

// abort ends in the C runtime's raise, which calls the SIGABRT handler, and
// RaiseException is kernelbase's (Windows 7 and later, and Wine).
TEST(FaultProbeWindowsTest, EachWindowsFaultIsReportedWithItsModule) {
  const struct {
    std::string fault, className, module, message;
  } cases[] = {
      {"trap", "EExternalException", ProbeModule(), "External exception 80000003."},
      {"privileged", "EPrivilege", ProbeModule(), "Privileged instruction."},
      {"abort", "EExternalException", "msvcrt.dll", "External exception 40000015."},
      {"external", "EExternalException", "kernelbase.dll", "External exception E0000001."},
      {"memory-gone", "EOutOfMemory", ProbeModule(), "Out of memory."},
  };
  for (const auto& c : cases) {
    const RunResult run = RunProbe(c.fault);
    const std::string module = ReportedModule(run.out);
    EXPECT_EQ(Lower(module), c.module) << c.fault;
    EXPECT_TRUE(MatchPointers(run.out, Before + "Exception " + c.className + " in module " + module +
                                           " at @." + std::string(LineEnd) + c.message + Pending))
        << c.fault << ": " << run.out;
    EXPECT_EQ(run.err, "") << c.fault;
    EXPECT_EQ(run.exitCode, 1) << c.fault;
  }
}

// The system's own handling ends the run: no report, and the statement left
// in the buffer is lost. Windows exits with STATUS_CONTROL_C_EXIT; Wine 8
// with 0.
TEST(FaultProbeWindowsTest, CtrlCEndsTheRunWithoutAReport) {
  const RunResult run = RunProbe("interrupt");
  EXPECT_EQ(run.out, Before);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.exitCode == static_cast<int>(STATUS_CONTROL_C_EXIT) ||
              (testing::UnderWine() && run.exitCode == 0))
      << run.exitCode;
}

TEST(FaultProbeWindowsTest, TerminationAndHangUpEndTheRunWithoutAReport) {
  GTEST_SKIP() << "Windows has no termination or hang-up signal: TerminateProcess and a closed console end a "
                  "process without running any of its code";
}

}  // namespace
}  // namespace kelvane
