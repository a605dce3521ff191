// What a fault of the run leaves behind: a report on standard output and
// exit code 1, or, for a fault during start-up, the run-time error line on
// standard error and the run-time error number as exit code.
//
// Faults are described by Windows exception codes on every platform; each
// backend maps its own faults onto them. The text is made without the heap
// or locks, as it is made inside a signal handler.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kelvane {

// The platform exception codes that the fault table knows.
namespace fault_code {
inline constexpr std::uint32_t AccessViolation = 0xC0000005;
inline constexpr std::uint32_t ArrayBoundsExceeded = 0xC000008C;
inline constexpr std::uint32_t FloatDenormalOperand = 0xC000008D;
inline constexpr std::uint32_t FloatDivideByZero = 0xC000008E;
inline constexpr std::uint32_t FloatInexactResult = 0xC000008F;
inline constexpr std::uint32_t FloatInvalidOperation = 0xC0000090;
inline constexpr std::uint32_t FloatOverflow = 0xC0000091;
inline constexpr std::uint32_t FloatStackCheck = 0xC0000092;
inline constexpr std::uint32_t FloatUnderflow = 0xC0000093;
inline constexpr std::uint32_t IntegerDivideByZero = 0xC0000094;
inline constexpr std::uint32_t IntegerOverflow = 0xC0000095;
inline constexpr std::uint32_t PrivilegedInstruction = 0xC0000096;
inline constexpr std::uint32_t StackOverflow = 0xC00000FD;
inline constexpr std::uint32_t ControlCExit = 0xC000013A;
// Faults outside the table, reported as external exceptions.
inline constexpr std::uint32_t Breakpoint = 0x80000003;
inline constexpr std::uint32_t InvalidSystemService = 0xC000001C;
inline constexpr std::uint32_t IllegalInstruction = 0xC000001D;
inline constexpr std::uint32_t FatalAppExit = 0x40000015;
}  // namespace fault_code

struct Fault {
  enum class Source : std::uint8_t {
    Platform,     // an exception of the platform, with its code
    OutOfMemory,  // the runtime's memory services gave up
  };

  Source source = Source::Platform;
  std::uint32_t code = 0;
  std::uintptr_t address = 0;   // the faulting instruction; 0 when unknown
  bool write = false;           // access violation: the access was a write
  std::uintptr_t accessed = 0;  // access violation: the address accessed
};

// The module that holds a fault address: its file name and the offset of
// the address into it.
struct FaultLocation {
  std::string_view module;
  std::uintptr_t offset = 0;
};

// Writes the report of a fault of the run into the buffer and returns it;
// it is cut short when the buffer is too small.
std::string_view FormatFaultReport(const Fault& fault, FaultLocation location, std::span<char> buffer);

// The run-time error number of a fault during start-up, which is also the
// process's exit code.
int RuntimeErrorNumber(const Fault& fault);

// Writes the run-time error line, line end included, into the buffer.
std::string_view FormatRuntimeErrorLine(const Fault& fault, std::span<char> buffer);

// The start-up handling is in place from the moment the program is loaded;
// from this call on, a fault is reported as a fault of the run. Process
// start-up calls it just before the main routine.
void InstallFaultReport();

// Every thread the program starts calls this first, so that a fault on it,
// a stack overflow included, is reported as one on the main thread is.
void PrepareThreadForFaults();

}  // namespace kelvane
