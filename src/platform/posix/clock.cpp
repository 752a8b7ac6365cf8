#include "platform/clock.h"
#include "platform/waiting.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace efi::platform {

namespace {
#if defined(EFI_TESTING)
std::atomic<uint64_t> exact_sleeps{0};
#endif

// nanosleep keeps to the requested time within the scheduler's latency: nothing to raise.
void sleep_for(uint64_t microseconds) {
#if defined(EFI_TESTING)
  ++exact_sleeps;
#endif
  timespec left{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
}  // namespace

int64_t system_counter() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t performance_frequency() { return 1000000000; }

void sleep_ms(uint32_t milliseconds) {
#if defined(EFI_TESTING)
  if (sleep_skipping_idle_time(milliseconds)) return;
#endif
  sleep_for(uint64_t{milliseconds} * 1000);
}
void sleep_us(uint32_t microseconds) { sleep_for(microseconds); }

ShortSleeps::ShortSleeps() = default;
ShortSleeps::~ShortSleeps() = default;

#if defined(EFI_TESTING)
SleepCounts sleep_counts() {
  SleepCounts counts;
  counts.exact = exact_sleeps.load();
  return counts;
}
void refuse_waitable_timers(bool) {}
#endif

}  // namespace efi::platform
