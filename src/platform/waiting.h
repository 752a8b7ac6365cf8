#pragma once

// The one bounded wait under every wait of the seam: a descriptor, a handle, an event, a sleep.
// `look(ms)` waits at most `ms` for what its caller waits for (0: it only looks) and returns true
// once that came or failed; it may return false early, and is then given what is left.
//
// The product waits on the system's clock and nothing else. The testing core can make this
// process's clock skip idle time: once no wait of the process has begun or been answered for a
// moment, the clock jumps to the earliest deadline among the waits (to shortly before it when
// bytes could end that wait, so that what is already on its way still arrives in time). A test of
// a five-second time-out then costs a tenth of a second, and its waits still end in the order
// their deadlines give.

#include <cstdint>
#include <type_traits>

#include "platform/clock.h"

namespace efi::platform {

using LookFunction = bool (*)(void* context, uint32_t ms);
// A wait with no deadline: it ends only when its look says so.
constexpr uint32_t WAIT_FOREVER = UINT32_MAX;
// The wait itself, on the seam's side, so that the links compiled once for both cores wait on
// the clock of the core they are linked into. With `sleep` nothing but the look's own time can end
// the wait, so a clock that skips idle time may jump right to its end.
bool wait_for_look(uint32_t timeout_ms, LookFunction look, void* context, bool sleep = false);

template <typename Look>
bool wait_within(uint32_t timeout_ms, Look&& look) {
  using Function = std::remove_reference_t<Look>;
  return wait_for_look(
      timeout_ms, [](void* context, uint32_t ms) { return (*static_cast<Function*>(context))(ms); },
      const_cast<void*>(static_cast<const void*>(&look)));
}

#if defined(EFI_TESTING)
// Turns the skipping on or off for the whole process (tests turn it on around the waits they run).
void skip_idle_time(bool on);
bool skipping_idle_time();
// While the skipping is on, sleeps on the skipping clock (which may jump to the sleep's end) and
// returns true; false otherwise, for the caller to sleep as it does.
bool sleep_skipping_idle_time(uint32_t milliseconds);
// A thread that is about to act without waiting first (a unit sending bytes a waiter will see)
// says so, so that the clock does not jump past a deadline before what it sends has arrived.
void note_activity();
#endif

}  // namespace efi::platform
