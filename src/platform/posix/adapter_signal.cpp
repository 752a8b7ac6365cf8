#include "platform/adapter_signal.h"

#include <poll.h>

#include <cerrno>

#include "platform/posix/wait.h"

namespace efi::platform {

bool AdapterSignal::open(const AdapterValueCall&, const AdapterValueCall& get_value) {
  forget();
  int descriptor = -1;
  if (get_value(&descriptor, sizeof descriptor) != 0 || descriptor < 0) return false;
  descriptor_ = descriptor;
  open_ = true;
  return true;
}

void AdapterSignal::close(const AdapterValueCall&) { forget(); }

EventWait AdapterSignal::wait(uint32_t timeout_ms) const {
  if (posix::wait_ready(static_cast<int>(descriptor_), POLLIN, timeout_ms)) return EventWait::signalled;
  return errno == ETIMEDOUT ? EventWait::timed_out : EventWait::failed;
}

void AdapterSignal::forget() {
  descriptor_ = -1;
  open_ = false;
}

}  // namespace efi::platform
