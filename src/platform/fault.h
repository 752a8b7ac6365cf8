#pragma once

#include <cstdint>

namespace efi::platform {

// Operations of the seam that tests can make fail on demand, for failure paths that a real
// operating system will not produce when asked.
enum class FaultPoint : uint8_t {
  device_open,
  device_read,
  device_write,
  device_enumerate,
  named_mutex_open,
  shared_memory_open,
  shared_memory_map,
  page_allocate,
  page_lock,
  keep_awake,
  count
};

#if defined(EFI_TESTING)
// The testing build only: after `successes` more successful calls of `point`, the next
// `failures` calls fail with `error`.
void inject_fault(FaultPoint point, uint32_t successes, uint32_t failures, uint32_t error);
void clear_faults();

// Called by the seam's implementations: true (and the error to report) when this call must fail.
bool take_fault(FaultPoint point, uint32_t& error);

// As take_fault, and leaves the error as the thread's last system error, as a real failure would.
bool fails_now(FaultPoint point);
#else
// The product library has no hooks: nothing ever fails on demand.
inline bool take_fault(FaultPoint, uint32_t&) { return false; }
inline bool fails_now(FaultPoint) { return false; }
#endif

}  // namespace efi::platform
