// What only POSIX has: faults raised inside the C library, and the signals
// that end a run without a report.
#include <gtest/gtest.h>

#include <csignal>

#include "runtime/console.h"
#include "support/probe.h"

namespace kelvane {
namespace {

using testing::MatchPointers;
using testing::RunProbe;
using testing::RunResult;

const std::string& Before = testing::ProbeBefore;
const std::string& Pending = testing::ProbePending;

TEST(FaultProbePosixTest, SignalsRaisedInsideTheCLibraryNameItsModule) {
  const struct {
    std::string fault, message;
  } cases[] = {
      {"abort", "External exception 40000015."},
      {"trap", "External exception 80000003."},
      {"bad-system-call", "External exception C000001C."},
  };
  for (const auto& c : cases) {
    const RunResult run = RunProbe(c.fault);
    EXPECT_TRUE(MatchPointers(run.out, Before + "Exception EExternalException in module libc.so.6 at @." +
                                           std::string(LineEnd) + c.message + Pending))
        << c.fault << ": " << run.out;
    EXPECT_EQ(run.err, "") << c.fault;
    EXPECT_EQ(run.exitCode, 1) << c.fault;
  }
}

TEST(FaultProbePosixTest, InterruptTerminationAndHangUpEndTheRunWithoutAReport) {
  const struct {
    std::string fault;
    int signal;
  } cases[] = {{"interrupt", SIGINT}, {"terminate", SIGTERM}, {"hang-up", SIGHUP}};
  for (const auto& c : cases) {
    const RunResult run = RunProbe(c.fault);
    EXPECT_EQ(run.out, Before) << c.fault;
    EXPECT_EQ(run.err, "") << c.fault;
    EXPECT_EQ(run.exitCode, 128 + c.signal) << c.fault;
  }
}

}  // namespace
}  // namespace kelvane
