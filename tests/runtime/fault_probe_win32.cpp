#define WIN32_LEAN_AND_MEAN
#include <float.h>
#include <intrin.h>
#include <windows.h>
#include <winternl.h>

#include <cfenv>
#include <cstdlib>
#include <new>
#include <utility>

#include "runtime/fault_probe.h"

namespace kelvane::probe {
namespace {

int* volatile nowhere = nullptr;

// Once set, every allocation of the probe fails, as when memory has run
// out for good.
bool memoryGone = false;

// The report asks the loader for the path of the module of the fault
// address; the loader keeps the program's own path in its module list.
int FaultInReport() {
  PROCESS_BASIC_INFORMATION process{};
  NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &process, sizeof process, nullptr);
  const LIST_ENTRY* first = process.PebBaseAddress->Ldr->InMemoryOrderModuleList.Flink;
  auto* program = CONTAINING_RECORD(first, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
  program->FullDllName.Buffer = reinterpret_cast<PWSTR>(8);
  return *nowhere;
}

// Ctrl-C goes to every process of a console, so the probe takes a console
// of its own first. The process that hosts it must not inherit the
// standard handles, which would keep the output files open after the probe
// ended. The system's handling comes on a thread of its own; the probe
// waits for it a while and ends by itself when none comes.
int Interrupt() {
  for (const DWORD handle : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    SetHandleInformation(GetStdHandle(handle), HANDLE_FLAG_INHERIT, 0);
  FreeConsole();
  AllocConsole();
  GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  Sleep(10000);
  return 4;
}

int Halt() {
  asm volatile("hlt");
  return 0;
}

const NamedFault Faults[] = {
    {"in-report", FaultInReport},
    {"trap", [] { return __debugbreak(), 0; }},
    {"privileged", Halt},
    {"external", [] { return RaiseException(0xE0000001, 0, 0, nullptr), 0; }},
    {"interrupt", Interrupt},
    {"memory-gone",
     [] { return memoryGone = true, static_cast<int>(*static_cast<volatile char*>(::operator new(1))); }},
};

}  // namespace

void EnableFloatTraps(int exceptions) {
  unsigned unmasked = 0;
  for (const auto& [flag, mask] : {std::pair{FE_INVALID, _EM_INVALID},
                                   {FE_DIVBYZERO, _EM_ZERODIVIDE},
                                   {FE_OVERFLOW, _EM_OVERFLOW},
                                   {FE_UNDERFLOW, _EM_UNDERFLOW},
                                   {FE_INEXACT, _EM_INEXACT}})
    if (exceptions & flag) unmasked |= mask;
  // A flag raised earlier would trap at once.
  _clearfp();
  _controlfp(0, unmasked);
}

std::span<const NamedFault> PlatformFaults() { return Faults; }

}  // namespace kelvane::probe

void* operator new(std::size_t size) {
  void* block = kelvane::probe::memoryGone ? nullptr : std::malloc(size != 0 ? size : 1);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
