#include "platform/clock.h"

#include <windows.h>

namespace efi::platform {

int64_t performance_counter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

int64_t performance_frequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

void sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace efi::platform
