// Between process.cpp and the platform twin of the process service: what
// the twin supplies to the start and the end that every platform shares.
// Nothing else includes this.
#pragma once

namespace kelvane {

// What the platform settles first of all, before the arguments are bound.
void PrepareProcess();

// Ends the process with the given code, the platform's ordinary way; Halt
// calls it once standard output is closed.
[[noreturn]] void EndProcess(int code);

}  // namespace kelvane
