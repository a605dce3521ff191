// A seam for the tests: faults that a real file system will not produce on
// demand. Armed, it makes chosen calls of a file-system operation fail with
// a chosen native error code. The backends ask it right before each such
// call; a normal run never arms it.
#pragma once

#include <cstdint>

namespace kelvane {

enum class FaultPoint : std::uint8_t {
  OpenDirectory,  // any opening of a directory
  ReadDirectory,  // one platform read of a directory's entries
  RemoveEntry,    // erasing a file or link, or removing a directory
  ChangeMode,     // opening up a directory's mode to its owner
  OpenBeneath,    // an open in which the kernel itself refuses links and mounts
  ReadMountId,    // one way of reading the mount a directory lies on
  Count,
};

// Arms the seam for `point`, independently of the other points: `count`
// calls from the `nth` on (1 is the next one) fail with the platform's error
// code `error`; later calls succeed again. An `nth` of 0 disarms it.
void InjectFault(FaultPoint point, int nth, int error, int count = 1);

// The error code the current call of `point` is to fail with, or 0.
int InjectedFault(FaultPoint point);

}  // namespace kelvane
