// Helpers for the tests that only Windows has.
#pragma once

#include <cstdint>
#include <string>

#include "support/support.h"

namespace kelvane::testing {

// Runs the built kelvane with this text after the program name, exactly
// as written: Windows hands a program its command line, not a list.
RunResult RunKelvaneCommandLine(const std::string& arguments, Output output = Output::Capture);

// The attribute bits of an entry, or sets them.
std::uint32_t Attributes(const std::string& path);
void SetAttributes(const std::string& path, std::uint32_t attributes);

// True when the tests run under Wine rather than Windows itself.
bool UnderWine();

// Runs a shell command on Wine's Unix side in the Unix directory of `dir`,
// and waits until `awaited` (a Windows path) is there, or no longer is when
// `present` is false: Wine does not wait for a Unix program to end.
void RunUnixShell(const std::string& dir, const std::string& command, const std::string& awaited,
                  bool present = true);

// A Unix symbolic link, made and removed on Wine's Unix side: under Wine a
// Windows call that removes it would remove its target instead.
class UnixLink {
 public:
  UnixLink(const std::string& target, const std::string& link);
  ~UnixLink();
  UnixLink(const UnixLink&) = delete;
  UnixLink& operator=(const UnixLink&) = delete;

 private:
  std::string link_;      // the link's Windows path
  std::string unixLink_;  // and its Unix path
};

}  // namespace kelvane::testing
