// Process start and end.
#pragma once

namespace kelvane {

// The program's main routine; its result is the exit code.
using MainRoutine = int (*)();

// Sets up the runtime (arguments, standard output, fault report), runs the
// routine once and ends the process with its result. Does not return.
[[noreturn]] int RunProcess(int argc, char** argv, MainRoutine routine);

// Transfers what standard output still holds, closes it and ends the
// process with the given code.
[[noreturn]] void Halt(int code);

}  // namespace kelvane
