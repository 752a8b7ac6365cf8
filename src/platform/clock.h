#pragma once

#include <cstdint>

namespace efi::platform {

// High-resolution monotonic counter and its ticks per second.
int64_t performance_counter();
int64_t performance_frequency();

void sleep_ms(uint32_t milliseconds);

// The counter with its frequency read once.
struct Clock {
  int64_t frequency = performance_frequency();

  int64_t now() const { return performance_counter(); }
  double seconds_since(int64_t start) const { return static_cast<double>(now() - start) / static_cast<double>(frequency); }
};

}  // namespace efi::platform
