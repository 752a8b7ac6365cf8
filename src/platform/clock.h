#pragma once

#include <cstdint>

namespace efi::platform {

// High-resolution monotonic counter and its ticks per second. The counter is the system's; in the
// testing core it also counts the idle time a test had skipped (waiting.h).
int64_t performance_counter();
int64_t system_counter();
int64_t performance_frequency();
// The counter in whole milliseconds, for the seam's own bounded transfers.
inline int64_t now_ms() { return performance_counter() / (performance_frequency() / 1000); }

// Sleeps about `milliseconds`, short ones included. On Windows a plain Sleep lasts until the next
// scheduler tick (15.6 ms by default), so a sleep goes through a high-resolution waitable timer
// where the system has one, else through Sleep with the timer resolution raised to 1 ms around it
// (unless a ShortSleeps already holds it raised).
void sleep_ms(uint32_t milliseconds);
// The same in microseconds, for the first short looks of a poll; where only whole milliseconds
// can be slept (Windows without high-resolution timers) it sleeps at least one.
void sleep_us(uint32_t microseconds);

// Keeps this thread's sleeps short and cheap for its lifetime, on Windows: one high-resolution
// waitable timer for all of them, or where the system has none the timer resolution held at 1 ms
// (raised once, always restored); nothing elsewhere. An exchange that polls holds one.
class ShortSleeps {
 public:
  ShortSleeps();
  ~ShortSleeps();
  ShortSleeps(const ShortSleeps&) = delete;
  ShortSleeps& operator=(const ShortSleeps&) = delete;

 private:
  bool raised_ = false;
  void* timer_ = nullptr;  // Windows: the high-resolution timer this object made for its thread
};

#if defined(EFI_TESTING)
// How the sleeps of this process were made, for the tests that check short sleeps stay short.
struct SleepCounts {
  uint64_t exact = 0;             // a system sleep that is exact as it is (POSIX)
  uint64_t waitable_timer = 0;    // a high-resolution waitable timer
  uint64_t raised_resolution = 0; // Sleep while the timer resolution was raised
  uint64_t tick = 0;              // Sleep at the default resolution: never for a short sleep
  int64_t raised_now = 0;         // resolutions raised and not restored yet
};
SleepCounts sleep_counts();
// Makes the Windows side behave as a system without high-resolution timers.
void refuse_waitable_timers(bool refuse);
#endif

// The counter with its frequency read once.
struct Clock {
  int64_t frequency = performance_frequency();

  int64_t now() const { return performance_counter(); }
  double seconds_since(int64_t start) const { return static_cast<double>(now() - start) / static_cast<double>(frequency); }
};

}  // namespace efi::platform
