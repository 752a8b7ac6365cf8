#include "platform/event.h"

#include <windows.h>

#include "platform/waiting.h"

namespace efi::platform {

void EventTraits::close(Raw raw) noexcept { CloseHandle(raw); }

Event create_event(EventReset reset, bool signalled) {
  return Event(CreateEventA(nullptr, reset == EventReset::manual, signalled, nullptr));
}

Event open_named_event(const char* name, EventReset reset) {
  return Event(CreateEventA(nullptr, reset == EventReset::manual, FALSE, name));
}

bool set_event(const Event& event) { return SetEvent(event.get()) != 0; }
bool reset_event(const Event& event) { return ResetEvent(event.get()) != 0; }

EventWait wait_event(const Event& event, uint32_t timeout_ms) {
  DWORD result = WAIT_TIMEOUT;
  wait_within(timeout_ms, [&](uint32_t ms) {
    result = WaitForSingleObject(event.get(), ms);
    return result != WAIT_TIMEOUT;
  });
  switch (result) {
    case WAIT_OBJECT_0:
      return EventWait::signalled;
    case WAIT_TIMEOUT:
      return EventWait::timed_out;
    default:
      return EventWait::failed;
  }
}

// Windows removes a named event with its last handle.
void remove_named_event(const char*) {}

}  // namespace efi::platform
