#include "runtime/fault_injection.h"

namespace kelvane {
namespace {

struct ArmedFault {
  FaultPoint point = FaultPoint::OpenDirectory;
  int callsLeft = 0;  // 0: disarmed
  int error = 0;
};

constinit ArmedFault armed;

}  // namespace

void InjectFault(FaultPoint point, int nth, int error) { armed = {point, nth, error}; }

int InjectedFault(FaultPoint point) {
  if (armed.callsLeft == 0 || armed.point != point) return 0;
  return --armed.callsLeft == 0 ? armed.error : 0;
}

}  // namespace kelvane
