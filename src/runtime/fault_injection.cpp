#include "runtime/fault_injection.h"

namespace kelvane {
namespace {

struct ArmedFault {
  int passing = 0;  // calls still to succeed before the failing ones
  int failing = 0;  // 0: disarmed
  int error = 0;
};

constinit ArmedFault armed[static_cast<int>(FaultPoint::Count)];

ArmedFault& Armed(FaultPoint point) { return armed[static_cast<int>(point)]; }

}  // namespace

void InjectFault(FaultPoint point, int nth, int error, int count) {
  Armed(point) = nth > 0 ? ArmedFault{nth - 1, count, error} : ArmedFault{};
}

int InjectedFault(FaultPoint point) {
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
