// The parts of the fault probe that each platform makes its own way.
#pragma once

#include <span>
#include <string_view>

namespace kelvane::probe {

struct NamedFault {
  std::string_view name;
  int (*fault)();
};

// Lets the floating-point exceptions given as FE_* flags trap.
void EnableFloatTraps(int exceptions);

// The faults that only this platform has. Among them is "in-report": a
// fault that makes the report itself fault.
std::span<const NamedFault> PlatformFaults();

// The argument vector that main was given.
extern char** programArguments;

}  // namespace kelvane::probe
