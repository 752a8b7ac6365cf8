#pragma once

// The clock of the framing fuzz targets, in place of the platform's: every reading moves it on by
// `stand_in_step_ns` (a millisecond unless the target chooses otherwise) and a sleep by its
// length, so a link's wait for a silent unit ends within a few steps and takes no real time.
// Included by one file of each target, which then leaves the platform's own clock out of its build.

#include <atomic>
#include <cstdint>

#include "platform/clock.h"
#include "platform/waiting.h"

namespace efi::platform {

inline std::atomic<int64_t> stand_in_now_ns{0};
inline std::atomic<int64_t> stand_in_step_ns{1000000};
int64_t performance_counter() { return stand_in_now_ns += stand_in_step_ns; }
int64_t performance_frequency() { return 1000000000; }
void sleep_ms(uint32_t milliseconds) { stand_in_now_ns += int64_t{milliseconds} * 1000000; }
void sleep_us(uint32_t microseconds) { stand_in_now_ns += int64_t{microseconds} * 1000; }
ShortSleeps::ShortSleeps() = default;
ShortSleeps::~ShortSleeps() = default;
// The seam's one wait, on this clock: every look at it moves time on, so a wait always ends.
bool wait_for_look(uint32_t timeout_ms, LookFunction look, void* context, bool) {
  const int64_t end = performance_counter() + int64_t{timeout_ms} * 1000000;
  for (;;) {
    const int64_t left = end - performance_counter();
    const uint32_t ms = left <= 0 ? 0 : static_cast<uint32_t>((left + 999999) / 1000000);
    if (look(context, ms)) return true;
    if (ms == 0) return false;
  }
}

}  // namespace efi::platform
