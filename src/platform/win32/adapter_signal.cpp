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

EventWait AdapterSignal::wait(uint32_t timeout_ms) const { return wait_event(event_, timeout_ms); }

void AdapterSignal::forget() {
  event_.reset();
  open_ = false;
}

}  // namespace efi::platform
