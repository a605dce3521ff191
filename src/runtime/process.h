// Process start and end, and what the process may use.
#pragma once

#include <cstddef>

namespace kelvane {

// The program's main routine; its result is the exit code.
using MainRoutine = int (*)();

// Sets up the runtime (arguments, standard output, fault report), runs the
// routine once and ends the process with its result. Does not return.
[[noreturn]] int RunProcess(int argc, char** argv, MainRoutine routine);

// Transfers what standard output still holds, closes it and ends the
// process with the given code.
[[noreturn]] void Halt(int code);

// Readies a thread the run starts for its work: its faults are reported
// as the main thread's are, and its paths lead where they say.
void PrepareThread();

// How many processors the process may run on, at least 1.
std::size_t UsableProcessors();

// How many files the process may hold open at once; SIZE_MAX where the
// system sets no limit worth counting.
std::size_t OpenFileLimit();

}  // namespace kelvane
