#include "platform/adapter_signal.h"

#include <poll.h>

#include <cerrno>

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

AdapterSignal::Wait AdapterSignal::wait(uint32_t timeout_ms) const {
  pollfd ready{static_cast<int>(descriptor_), POLLIN, 0};
  const int timeout = timeout_ms > INT32_MAX ? INT32_MAX : static_cast<int>(timeout_ms);
  for (;;) {
    const int result = poll(&ready, 1, timeout);
    if (result > 0) return (ready.revents & POLLIN) ? Wait::signalled : Wait::failed;
    if (result == 0) return Wait::timed_out;
    if (errno != EINTR) return Wait::failed;
  }
}

void AdapterSignal::forget() {
  descriptor_ = -1;
  open_ = false;
}

}  // namespace efi::platform
