#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace efi::platform {

struct EventTraits {
  using Raw = void*;
  static constexpr Raw none() { return nullptr; }
  static void close(Raw raw) noexcept;
};
// A signal between threads, or between processes when named. An automatic event lets one
// waiter through per set and is reset by it; a manual one stays set until reset.
using Event = Owned<EventTraits>;
enum class EventReset : uint8_t { automatic, manual };
enum class EventWait { signalled, timed_out, failed };

// Empty on failure; last_error() tells why.
Event create_event(EventReset reset, bool signalled = false);

// The machine-wide event of that name (the name as given, no namespace prefix), created not
// signalled by the first open; `reset` applies when this open creates it. It lives while any
// process has it open: the next first open finds a new event.
Event open_named_event(const char* name, EventReset reset);

bool set_event(const Event& event);
bool reset_event(const Event& event);
// `failed` leaves last_error() telling why.
EventWait wait_event(const Event& event, uint32_t timeout_ms);

// Removes what a named event leaves on the machine where it outlives its processes (not on
// Windows); for tests that make up names of their own.
void remove_named_event(const char* name);

}  // namespace efi::platform
