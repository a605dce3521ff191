#include "runtime/fault_report.h"

#include <algorithm>
#include <exception>
#include <new>

#include "runtime/console.h"
#include "runtime/fault_report_twin.h"

namespace kelvane {
namespace {

struct FaultClass {
  std::uint32_t code;
  std::string_view name;
  std::string_view message;  // empty where the message is made from the fault
  int runtimeError;
};

constexpr FaultClass PlatformClasses[] = {
    {fault_code::IntegerDivideByZero, "EDivByZero", "Division by zero", 200},
    {fault_code::ArrayBoundsExceeded, "ERangeError", "Range check error", 201},
    {fault_code::IntegerOverflow, "EIntOverflow", "Integer overflow", 215},
    {fault_code::FloatInexactResult, "EInvalidOp", "Invalid floating point operation", 208},
    {fault_code::FloatInvalidOperation, "EInvalidOp", "Invalid floating point operation", 207},
    {fault_code::FloatStackCheck, "EInvalidOp", "Invalid floating point operation", 207},
    {fault_code::FloatDivideByZero, "EZeroDivide", "Floating point division by zero", 200},
    {fault_code::FloatOverflow, "EOverflow", "Floating point overflow", 205},
    {fault_code::FloatUnderflow, "EUnderflow", "Floating point underflow", 206},
    {fault_code::FloatDenormalOperand, "EUnderflow", "Floating point underflow", 209},
    {fault_code::AccessViolation, "EAccessViolation", "", 216},
    {fault_code::PrivilegedInstruction, "EPrivilege", "Privileged instruction", 218},
    {fault_code::ControlCExit, "EControlC", "Control-C hit", 217},
    {fault_code::StackOverflow, "EStackOverflow", "Stack overflow", 202},
};
constexpr FaultClass OutOfMemoryClass{0, "EOutOfMemory", "Out of memory", 203};
constexpr FaultClass ExternalClass{0, "EExternalException", "", 217};

const FaultClass& ClassOf(const Fault& fault) {
  if (fault.source == Fault::Source::OutOfMemory) return OutOfMemoryClass;
  for (const FaultClass& entry : PlatformClasses)
    if (entry.code == fault.code) return entry;
  return ExternalClass;
}

// Text in a fixed buffer; what does not fit is dropped.
class ReportText {
 public:
  explicit ReportText(std::span<char> buffer) : buffer_(buffer) {}

  void Append(std::string_view text) {
    const std::size_t take = std::min(text.size(), buffer_.size() - used_);
    std::copy_n(text.data(), take, buffer_.data() + used_);
    used_ += take;
  }

  // Upper-case hexadecimal, zero-filled to at least `width` digits.
  void AppendHex(std::uintptr_t value, int width) {
    char digits[2 * sizeof value];
    int count = 0;
    do {
      digits[sizeof digits - ++count] = "0123456789ABCDEF"[value % 16];
      value /= 16;
    } while (value != 0 || count < width);
    Append(std::string_view(digits + sizeof digits - count, static_cast<std::size_t>(count)));
  }

  // As many digits as a pointer has on this build.
  void AppendPointer(std::uintptr_t value) { AppendHex(value, 2 * sizeof(void*)); }

  void AppendDecimal(unsigned value) {
    char digits[10];
    std::size_t count = 0;
    do {
      digits[sizeof digits - ++count] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    Append(std::string_view(digits + sizeof digits - count, count));
  }

  std::string_view Text() const { return std::string_view(buffer_.data(), used_); }

 private:
  std::span<char> buffer_;
  std::size_t used_ = 0;
};

void AppendMessage(ReportText& text, const Fault& fault, const FaultClass& faultClass) {
  if (!faultClass.message.empty()) {
    text.Append(faultClass.message);
  } else if (faultClass.code == fault_code::AccessViolation) {
    text.Append("Access violation at address ");
    text.AppendPointer(fault.address);
    text.Append(fault.write ? ". Write of address " : ". Read of address ");
    text.AppendPointer(fault.accessed);
  } else {
    text.Append("External exception ");
    text.AppendHex(fault.code, 1);
  }
}

std::terminate_handler earlierTerminate = nullptr;

// Inside std::terminate: true when the exception that nothing caught is a
// std::bad_alloc.
bool OutOfMemoryEscaped() {
  const std::exception_ptr escaped = std::current_exception();
  if (!escaped) return false;
  try {
    std::rethrow_exception(escaped);
  } catch (const std::bad_alloc&) {
    return true;
  } catch (...) {
    return false;
  }
}

// A std::bad_alloc that nothing catches is the memory running out. Where it
// was thrown is not known here, so the report gives address 0. Any other
// exception goes on to the runtime's own handler, which aborts.
void OnTerminate() {
  if (OutOfMemoryEscaped()) EndFault({.source = Fault::Source::OutOfMemory});
  earlierTerminate();
}

}  // namespace

std::string_view FormatFaultReport(const Fault& fault, FaultLocation location, std::span<char> buffer) {
  const FaultClass& faultClass = ClassOf(fault);
  ReportText text(buffer);
  text.Append("Exception ");
  text.Append(faultClass.name);
  text.Append(" in module ");
  text.Append(location.module);
  text.Append(" at ");
  text.AppendPointer(location.offset);
  text.Append(".");
  text.Append(LineEnd);
  const std::size_t messageStart = text.Text().size();
  AppendMessage(text, fault, faultClass);
  const std::string_view message = text.Text().substr(messageStart);
  if (!message.empty() && message.back() != '.') text.Append(".");
  return text.Text();
}

int RuntimeErrorNumber(const Fault& fault) { return ClassOf(fault).runtimeError; }

std::string_view FormatRuntimeErrorLine(const Fault& fault, std::span<char> buffer) {
  ReportText text(buffer);
  text.Append("Runtime error ");
  text.AppendDecimal(static_cast<unsigned>(RuntimeErrorNumber(fault)));
  text.Append(" at ");
  text.AppendPointer(fault.address);
  if (fault.source == Fault::Source::Platform) {
    text.Append(" (Exception ");
    text.AppendHex(fault.code, 8);
    text.Append(")");
  }
  // The line is only written for a fault during start-up, and the tool
  // starts no other thread before its main routine: the fault is the main
  // thread's, numbered 1.
  text.Append(" TID=1.");
  text.Append(LineEnd);
  return text.Text();
}

void InstallTerminateHandler() { earlierTerminate = std::set_terminate(OnTerminate); }

}  // namespace kelvane
