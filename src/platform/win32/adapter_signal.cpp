#include "platform/adapter_signal.h"

#include <windows.h>

namespace efi::platform {

bool AdapterSignal::open(const AdapterValueCall& set_value, const AdapterValueCall&) {
  forget();
  Event event = create_event(EventReset::automatic);
  if (!event) return false;
  HANDLE raw = event.get();
  if (set_value(&raw, sizeof raw) != 0) return false;
  event_ = std::move(event);
  open_ = true;
  return true;
}

void AdapterSignal::close(const AdapterValueCall& set_value) {
  if (!open_) return;
  HANDLE none = nullptr;
  set_value(&none, sizeof none);
  forget();
}

AdapterSignal::Wait AdapterSignal::wait(uint32_t timeout_ms) const {
  switch (WaitForSingleObject(event_.get(), timeout_ms)) {
    case WAIT_OBJECT_0:
      return Wait::signalled;
    case WAIT_TIMEOUT:
      return Wait::timed_out;
    default:
      return Wait::failed;
  }
}

void AdapterSignal::forget() {
  event_.reset();
  open_ = false;
}

}  // namespace efi::platform
