#include "runtime/fault_injection.h"

#include <atomic>
#include <mutex>

namespace kelvane {
namespace {

struct ArmedFault {
  int passing = 0;  // calls still to succeed before the failing ones
  int failing = 0;  // 0: disarmed
  int error = 0;
};

// Every thread of a removal asks; a normal run never takes the lock.
std::atomic<bool> anyArmed = false;
std::mutex mutex;
ArmedFault armed[static_cast<int>(FaultPoint::Count)];

ArmedFault& Armed(FaultPoint point) { return armed[static_cast<int>(point)]; }

}  // namespace

void InjectFault(FaultPoint point, int nth, int error, int count) {
  std::lock_guard lock(mutex);
  Armed(point) = nth > 0 ? ArmedFault{nth - 1, count, error} : ArmedFault{};
  bool any = false;
  for (const ArmedFault& fault : armed) any = any || fault.failing > 0;
  anyArmed = any;
}

int InjectedFault(FaultPoint point) {
  if (!anyArmed.load(std::memory_order_relaxed)) return 0;
  std::lock_guard lock(mutex);
  ArmedFault& fault = Armed(point);
  if (fault.failing == 0) return 0;
  if (fault.passing > 0) {
    --fault.passing;
    return 0;
  }
  --fault.failing;
  return fault.error;
}

}  // namespace kelvane
