#pragma once

#include <cstdint>

namespace efi::platform {

// High-resolution monotonic counter and its ticks per second.
int64_t performance_counter();
int64_t performance_frequency();

void sleep_ms(uint32_t milliseconds);

}  // namespace efi::platform
