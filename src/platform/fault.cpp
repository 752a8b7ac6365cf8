#include "platform/fault.h"

#include <array>
#include <cstddef>

#include "platform/system_error.h"

namespace efi::platform {

#if defined(EFI_TESTING)
namespace {
struct Fault {
  uint32_t successes = 0;
  uint32_t failures = 0;
  uint32_t error = 0;
};
std::array<Fault, static_cast<size_t>(FaultPoint::count)> faults;
}  // namespace

void inject_fault(FaultPoint point, uint32_t successes, uint32_t failures, uint32_t error) {
  faults[static_cast<size_t>(point)] = {successes, failures, error};
}

void clear_faults() { faults = {}; }

bool take_fault(FaultPoint point, uint32_t& error) {
  Fault& fault = faults[static_cast<size_t>(point)];
  if (fault.failures == 0) return false;
  if (fault.successes > 0) {
    --fault.successes;
    return false;
  }
  --fault.failures;
  error = fault.error;
  return true;
}

bool fails_now(FaultPoint point) {
  uint32_t error = 0;
  if (!take_fault(point, error)) return false;
  set_last_error(error);
  return true;
}
#endif

}  // namespace efi::platform
