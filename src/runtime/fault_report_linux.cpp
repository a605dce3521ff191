// Faults arrive as signals. Everything from the handler on runs in the
// state the fault left behind, so it uses only calls that are safe inside a
// signal handler (dladdr aside, which takes the loader's lock and nothing
// else) and never the heap.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "runtime/console.h"
#include "runtime/fault_report.h"
#include "runtime/fault_report_twin.h"

namespace kelvane {
namespace {

// The signals that mean a fault of the run. Interrupt, termination and
// hang-up keep their default action: they end the run with no report.
constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};

// An access this close to the lowest address the thread's stack may reach
// is the stack running out: the kernel keeps a gap of 1 MiB below the main
// stack by default, a thread's stack has a guard page, and a large frame
// overshoots the limit by its size.
constexpr std::uintptr_t StackGuardSpan = 2u << 20;

// The handler runs on a stack of its own, as an overflowed one has no room;
// each thread has one.
constexpr std::size_t AlternateStackSize = 64 * 1024;

thread_local std::uintptr_t stackLimit = 0;  // 0 when unknown
volatile sig_atomic_t running = 0;

// The thread that reports the first fault, 0 before one; faults of other
// threads meanwhile wait for it to end the process.
std::atomic<pid_t> reporter = 0;
static_assert(std::atomic<pid_t>::is_always_lock_free);
volatile sig_atomic_t faultsEntered = 0;  // by the reporting thread

// What the processor tells about a fault: the faulting instruction and,
// for an access, whether it was a write.
struct Processor {
  std::uintptr_t pc = 0;
  bool write = false;
};

Processor ReadProcessor(const ucontext_t& context) {
  // Bit 1 of the x86 page-fault error code is set for a write.
  constexpr greg_t PageFaultWrite = 0x2;
#if defined(__x86_64__)
  const greg_t* registers = context.uc_mcontext.gregs;
  return {static_cast<std::uintptr_t>(registers[REG_RIP]), (registers[REG_ERR] & PageFaultWrite) != 0};
#elif defined(__i386__)
  const greg_t* registers = context.uc_mcontext.gregs;
  return {static_cast<std::uintptr_t>(registers[REG_EIP]), (registers[REG_ERR] & PageFaultWrite) != 0};
#else
  static_cast<void>(context);
  return {};
#endif
}

std::uint32_t ArithmeticCode(int cause) {
  switch (cause) {
    case FPE_INTDIV:
      return fault_code::IntegerDivideByZero;
    case FPE_INTOVF:
      return fault_code::IntegerOverflow;
    case FPE_FLTDIV:
      return fault_code::FloatDivideByZero;
    case FPE_FLTOVF:
      return fault_code::FloatOverflow;
    case FPE_FLTUND:
      return fault_code::FloatUnderflow;
    case FPE_FLTRES:
      return fault_code::FloatInexactResult;
    case FPE_FLTSUB:
      return fault_code::ArrayBoundsExceeded;
    default:
      return fault_code::FloatInvalidOperation;
  }
}

bool InStackGuard(std::uintptr_t accessed) {
  return stackLimit != 0 && accessed >= stackLimit - StackGuardSpan && accessed < stackLimit + StackGuardSpan;
}

std::uint32_t CodeOf(int signal, const siginfo_t& info) {
  switch (signal) {
    case SIGSEGV:
      return InStackGuard(reinterpret_cast<std::uintptr_t>(info.si_addr)) ? fault_code::StackOverflow
                                                                          : fault_code::AccessViolation;
    case SIGBUS:
      return fault_code::AccessViolation;
    case SIGFPE:
      return ArithmeticCode(info.si_code);
    case SIGILL:
      return info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? fault_code::PrivilegedInstruction
                                                                      : fault_code::IllegalInstruction;
    case SIGTRAP:
      return fault_code::Breakpoint;
    case SIGSYS:
      return fault_code::InvalidSystemService;
    default:  // SIGABRT: the C++ runtime gave up, or someone called abort
      return fault_code::FatalAppExit;
  }
}

Fault FaultOf(int signal, const siginfo_t& info, const ucontext_t& context) {
  const Processor processor = ReadProcessor(context);
  return {.code = CodeOf(signal, info),
          .address = processor.pc,
          .write = processor.write,
          .accessed = reinterpret_cast<std::uintptr_t>(info.si_addr)};
}

std::string_view FileName(std::string_view path) { return path.substr(path.rfind('/') + 1); }

std::string_view ProgramFileName(std::span<char> buffer) {
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
  return FileName(std::string_view(buffer.data(), length > 0 ? static_cast<std::size_t>(length) : 0));
}

FaultLocation Locate(std::uintptr_t address, std::span<char> pathBuffer) {
  Dl_info module{};
  if (dladdr(reinterpret_cast<void*>(address), &module) == 0) return {ProgramFileName(pathBuffer), address};
  const std::uintptr_t offset = address - reinterpret_cast<std::uintptr_t>(module.dli_fbase);
  // The main program's name is the one it was started under, which may be
  // missing.
  if (module.dli_fname == nullptr || module.dli_fname[0] == '\0')
    return {ProgramFileName(pathBuffer), offset};
  return {FileName(module.dli_fname), offset};
}

// One write, straight to the descriptor; a failure leaves nothing to try.
bool WriteOnce(int fd, std::string_view text) {
  return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void WriteReport(const Fault& fault) {
  char path[PATH_MAX];
  char text[PATH_MAX + 256];
  WriteOnce(STDOUT_FILENO, FormatFaultReport(fault, Locate(fault.address, path), text));
}

void WriteRuntimeErrorLine(const Fault& fault) {
  char text[128];
  WriteOnce(STDERR_FILENO, FormatRuntimeErrorLine(fault, text));
}

// A fault of the run is one the kernel raised for an instruction (si_code
// above 0), or one that abort or raise sent to a thread of this process
// (SI_TKILL with its own id, which the kernel lets no other process claim).
// Any other came from outside, kill and sigqueue among them, whatever
// sender it names: it names no fault of the run.
bool SentFromOutside(const siginfo_t& info) {
  return info.si_code <= 0 && !(info.si_code == SI_TKILL && info.si_pid == getpid());
}

// Ends the run as the signal's default action would, so that whoever waits
// for the process sees it ended by that signal. The handler does not block
// the signal, so it arrives again at once.
void EndAsByDefault(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  raise(signal);
}

void OnFaultSignal(int signal, siginfo_t* info, void* context) {
  if (SentFromOutside(*info)) return EndAsByDefault(signal);
  EndFault(FaultOf(signal, *info, *static_cast<const ucontext_t*>(context)));
}

std::uintptr_t LowestStackAddress() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* lowest = nullptr;
  std::size_t size = 0;
  const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
  pthread_attr_destroy(&attributes);
  return known ? reinterpret_cast<std::uintptr_t>(lowest) : 0;
}

// Runs before the program's other static initialisers, so that a fault in
// any of them already ends with the run-time error line.
[[gnu::constructor(101)]] void InstallStartUpHandling() {
  PrepareThreadForFaults();
  struct sigaction action {};
  action.sa_sigaction = OnFaultSignal;
  // A fault inside the handler must reach it again rather than kill the
  // process while the signal is blocked.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (const int signal : FaultSignals) sigaction(signal, &action, nullptr);
  InstallTerminateHandler();
}

}  // namespace

// Reports the fault and ends the process, skipping the exit handlers, which
// cannot run safely in the state a fault leaves behind. A fault on the way
// comes back here: it gives no second report, and the end goes on.
[[noreturn]] void EndFault(const Fault& fault) {
  pid_t first = 0;
  if (!reporter.compare_exchange_strong(first, gettid()) && first != gettid())
    for (;;) pause();
  const int entered = faultsEntered;
  faultsEntered = entered + 1;
  if (entered == 0 && running) WriteReport(fault);
  if (entered <= 1) CloseStandardOutput();
  if (running) _exit(1);
  if (entered == 0) WriteRuntimeErrorLine(fault);
  _exit(RuntimeErrorNumber(fault));
}

void InstallFaultReport() { running = 1; }

void PrepareThreadForFaults() {
  stackLimit = LowestStackAddress();
  // A mapping of its own, which goes with the process: a sanitizer that
  // ends a thread unmaps the thread's alternate stack itself.
  void* memory = mmap(nullptr, AlternateStackSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = AlternateStackSize;
  sigaltstack(&stack, nullptr);
}

}  // namespace kelvane
