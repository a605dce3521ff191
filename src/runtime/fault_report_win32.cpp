// Faults arrive as Windows exceptions. The top-level filter sees every
// exception that no frame of the program handles, on the faulting thread's
// own stack. A stack overflow leaves too little of that stack for a report,
// so the report of one runs on a reserve stack instead.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <csignal>
#include <iterator>
#include <string_view>

#include "runtime/console.h"
#include "runtime/console_win32.h"
#include "runtime/fault_report.h"
#include "runtime/fault_report_twin.h"

namespace kelvane {
namespace {

// What a stack overflow must leave for the system to hand the exception to
// the vectored handler.
constexpr ULONG DispatchRoom = 16 * 1024;

// Where a fault address lies in no module, the report counts it from the
// start of the program's code, one page into its image.
constexpr std::uintptr_t CodeStart = 0x1000;

// The report is made and converted in static buffers, which a fault cannot
// leave short. Room for any module path that GetModuleFileNameW gives, and
// for a file name in the tool's text: three bytes at most for each unit.
wchar_t modulePath[32 * 1024];
char moduleName[3 * MAX_PATH];
char reportText[sizeof moduleName + 256];
wchar_t reportWide[sizeof reportText];
char reportBytes[sizeof reportText * MostBytesPerUnit];
alignas(16) char reserveStack[64 * 1024];

volatile bool running = false;
volatile int faultsEntered = 0;  // by the reporting thread

// The thread that reports the first fault, 0 before one.
std::atomic<DWORD> reporter = 0;

// True on the thread that reports; a fault of another thread meanwhile
// waits for it to end the process.
bool ClaimReport() {
  DWORD first = 0;
  return reporter.compare_exchange_strong(first, GetCurrentThreadId()) || first == GetCurrentThreadId();
}

Fault FaultOf(const EXCEPTION_RECORD& record) {
  Fault fault{.code = record.ExceptionCode,
              .address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress)};
  if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2) {
    fault.write = record.ExceptionInformation[0] != 0;  // 1 for a write, 8 for an execution
    fault.accessed = record.ExceptionInformation[1];
  }
  return fault;
}

std::wstring_view FileName(std::wstring_view path) { return path.substr(path.rfind(L'\\') + 1); }

// A truncated path is no path: its file name could be cut.
std::wstring_view ModulePath(HMODULE module) {
  const DWORD length = GetModuleFileNameW(module, modulePath, std::size(modulePath));
  return length < std::size(modulePath) ? std::wstring_view(modulePath, length) : std::wstring_view();
}

// The module's file name in the tool's text, so that the output shows it
// as it shows every name. The text is WTF-8, which is UTF-8 for a name
// without an unpaired surrogate; such a surrogate becomes U+FFFD, which
// every output shows alike.
std::string_view ModuleName(std::wstring_view path) {
  const std::wstring_view name = FileName(path);
  const int size = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), moduleName,
                                       sizeof moduleName, nullptr, nullptr);
  return std::string_view(moduleName, static_cast<std::size_t>(size));
}

FaultLocation Locate(std::uintptr_t address) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == sizeof region &&
      region.State == MEM_COMMIT) {
    const std::wstring_view path = ModulePath(static_cast<HMODULE>(region.AllocationBase));
    if (!path.empty())
      return {ModuleName(path), address - reinterpret_cast<std::uintptr_t>(region.AllocationBase)};
  }
  return {ModuleName(ModulePath(nullptr)), address == 0 ? 0 : address - CodeStart};
}

// One write, straight to the handle; a failure leaves nothing to try.
void WriteOnce(DWORD handle, std::string_view text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(handle), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void WriteRuntimeErrorLine(const Fault& fault) {
  char text[128];
  WriteOnce(STD_ERROR_HANDLE, FormatRuntimeErrorLine(fault, text));
}

Fault overflow;  // the stack overflow that EndOverflow reports

[[noreturn]] void EndOverflow() { EndFault(overflow); }

// Lets the thread go on in EndOverflow at the top of the reserve stack, as
// if called there.
void MoveToReserveStack(CONTEXT& context) {
  const auto top = reinterpret_cast<std::uintptr_t>(reserveStack + sizeof reserveStack);
#if defined(__x86_64__)
  // Above the return address, four slots that belong to the callee.
  context.Rsp = top - 5 * 8;
  context.Rip = reinterpret_cast<DWORD64>(EndOverflow);
#else
  context.Esp = top - 4;
  context.Eip = reinterpret_cast<DWORD>(EndOverflow);
#endif
}

// Sees every exception before any frame does. It takes two kinds: a stack
// overflow, moved onto the reserve stack, and any error while a fault is
// being reported, which the system would not hand to the filter again.
// Warnings and notes that the system raises for its own use go on.
LONG CALLBACK OnException(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  if (faultsEntered > 0 && reporter == GetCurrentThreadId() &&
      (record.ExceptionCode & ERROR_SEVERITY_ERROR) == ERROR_SEVERITY_ERROR)
    EndFault(FaultOf(record));
  if (record.ExceptionCode != EXCEPTION_STACK_OVERFLOW) return EXCEPTION_CONTINUE_SEARCH;
  // The reserve stack serves the reporting thread alone.
  while (!ClaimReport()) Sleep(INFINITE);
  overflow = FaultOf(record);
  MoveToReserveStack(*exception->ContextRecord);
  return EXCEPTION_CONTINUE_EXECUTION;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  EndFault(FaultOf(*exception->ExceptionRecord));
}

// The C runtime's abort raises SIGABRT and, unless a handler takes it, ends
// the process quietly with exit code 3. The fault address is in the C
// runtime's raise, which called this handler.
void OnAbort(int) {
  EndFault({.code = fault_code::FatalAppExit,
            .address = reinterpret_cast<std::uintptr_t>(
                __builtin_extract_return_addr(__builtin_return_address(0)))});
}

// Runs before the program's other static initialisers, so that a fault in
// any of them already ends with the run-time error line. MinGW's start-up
// code has set a filter of its own before; this one replaces it. No
// Windows Error Reporting box waits for someone to close it.
[[gnu::constructor(101)]] void InstallStartUpHandling() {
  SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
  PrepareThreadForFaults();
  AddVectoredExceptionHandler(1, OnException);
  SetUnhandledExceptionFilter(OnUnhandledException);
  std::signal(SIGABRT, OnAbort);
  InstallTerminateHandler();
}

}  // namespace

// Reports the fault and ends the process without the exit routines of the
// C runtime and the DLLs, which cannot run safely in the state a fault
// leaves behind (the loader's lock may be held). A fault on the way gives
// no second report, and the end goes on.
[[noreturn]] void EndFault(const Fault& fault) {
  while (!ClaimReport()) Sleep(INFINITE);
  const int entered = faultsEntered;
  faultsEntered = entered + 1;
  if (entered == 0 && running)
    WriteToStandardOutput(FormatFaultReport(fault, Locate(fault.address), reportText), reportWide,
                          reportBytes);
  if (entered <= 1) CloseStandardOutput();
  if (!running && entered == 0) WriteRuntimeErrorLine(fault);
  TerminateProcess(GetCurrentProcess(), running ? 1 : static_cast<UINT>(RuntimeErrorNumber(fault)));
  // Ending its own process, the call does not return.
  __builtin_unreachable();
}

// The filter is set again, in case a library's start-up replaced it.
void InstallFaultReport() {
  running = true;
  SetUnhandledExceptionFilter(OnUnhandledException);
}

void PrepareThreadForFaults() {
  ULONG room = DispatchRoom;
  SetThreadStackGuarantee(&room);
}

}  // namespace kelvane
