#pragma once

// One way for a link to wait: a point in time on the link's clock, and the waits that end at it.
// Every bounded wait of a link is a Deadline: the time left is what the next wait on a descriptor,
// an event or the adapter may take, and no link works out elapsed time on its own.

#include <algorithm>
#include <cstdint>

#include "platform/clock.h"
#include "platform/waiting.h"

namespace efi {

class Deadline {
 public:
  Deadline(const platform::Clock& clock, uint32_t ms)
      : clock_(&clock), end_(clock.now() + ticks(clock, ms)) {}

  // Milliseconds left, rounded up, so that a wait given them never ends before the deadline;
  // 0 once it has passed.
  uint32_t remaining_ms() const {
    const int64_t left = end_ - clock_->now();
    if (left <= 0) return 0;
    const int64_t ms = (left * 1000 + clock_->frequency - 1) / clock_->frequency;
    return static_cast<uint32_t>(std::min<int64_t>(ms, UINT32_MAX - 1));
  }
  bool expired() const { return end_ - clock_->now() <= 0; }

  // The earlier of this deadline and `ms` from now.
  Deadline within(uint32_t ms) const {
    Deadline sooner(*clock_, ms);
    sooner.end_ = std::min(sooner.end_, end_);
    return sooner;
  }

  // Sleeps `ms`, or only what is left when that is less; false (without sleeping) once the
  // deadline has passed.
  bool sleep(uint32_t ms) const {
    const uint32_t left = remaining_ms();
    if (left == 0) return false;
    platform::sleep_ms(std::min(ms, left));
    return true;
  }

 private:
  static int64_t ticks(const platform::Clock& clock, uint32_t ms) {
    return static_cast<int64_t>(ms) * clock.frequency / 1000;
  }
  const platform::Clock* clock_;
  int64_t end_;
};

// Asks `look` until it returns true or the deadline passes, sleeping between looks: only for a
// source that can tell of its data in no other way (a driver polled for bytes). The first look
// comes at once, as an answer is often there already; the sleeps start at `first_step_us` and
// double up to `step_ms`, so a quick answer is seen within microseconds and a long silence costs
// a look per step. One last look follows the final sleep, so data that came during it count.
template <typename Look>
bool poll_until(const Deadline& deadline, uint32_t first_step_us, uint32_t step_ms, Look look) {
  if (look()) return true;
  uint32_t step_us = first_step_us;
  return platform::wait_within(deadline.remaining_ms(), [&](uint32_t left) {
    if (left == 0) return false;
    platform::sleep_us(std::min(step_us, left * 1000));
    step_us = std::min(step_us * 2, step_ms * 1000);
    return look();
  });
}

}  // namespace efi
