#include "platform/waiting.h"

#include <algorithm>

#if defined(EFI_TESTING)
#include <atomic>
#include <mutex>
#include <set>
#endif

namespace efi::platform {

namespace {

uint32_t ceil_ms(int64_t ticks, int64_t frequency) {
  if (ticks <= 0) return 0;
  return static_cast<uint32_t>(std::min<int64_t>((ticks * 1000 + frequency - 1) / frequency, UINT32_MAX - 1));
}

#if defined(EFI_TESTING)
// How long a skipping wait looks before it asks whether the clock may jump; how long every wait of
// the process must have been idle before it does; and how much of the earliest wait the jump
// leaves to pass in real time, so that bytes or frames already on their way (through the system,
// a pipe, a bus relay's thread) still arrive before its deadline, as they would without the jump.
// Windows programs are slower to pass bytes between threads (and Wine, where they are tested,
// slower still), so both are longer there.
constexpr uint32_t SLICE_MS = 2;
#if defined(_WIN32)
constexpr uint32_t IDLE_MS = 50;
constexpr uint32_t LAST_REAL_MS = 400;
#else
constexpr uint32_t IDLE_MS = 15;
constexpr uint32_t LAST_REAL_MS = 120;
#endif

struct Skipping {
  std::atomic<bool> on{false};
  std::atomic<int64_t> skipped{0};  // ticks of the system counter
  std::mutex mutex;
  std::multiset<int64_t> deadlines;  // of the waits in progress, on the skipping clock
  int64_t last_activity = 0;         // system counter
};

Skipping& skipping() {
  static Skipping state;
  return state;
}

bool wait_skipping(uint32_t timeout_ms, LookFunction look, void* context, bool sleep) {
  Skipping& state = skipping();
  const int64_t frequency = performance_frequency();
  const int64_t end = performance_counter() + static_cast<int64_t>(timeout_ms) * frequency / 1000;
  const int64_t idle_ticks = static_cast<int64_t>(IDLE_MS) * frequency / 1000;
  const int64_t last_real_ticks = sleep ? 0 : static_cast<int64_t>(LAST_REAL_MS) * frequency / 1000;
  std::multiset<int64_t>::iterator mine;
  {
    std::lock_guard<std::mutex> hold(state.mutex);
    mine = state.deadlines.insert(end);
    state.last_activity = system_counter();
  }
  bool came = false;
  for (;;) {
    const uint32_t ms = std::min(ceil_ms(end - performance_counter(), frequency), SLICE_MS);
    if (look(context, ms)) {
      came = true;
      break;
    }
    if (ms == 0) break;
    std::lock_guard<std::mutex> hold(state.mutex);
    const int64_t now = performance_counter();
    if (end <= *state.deadlines.begin() && system_counter() - state.last_activity >= idle_ticks &&
        end - now > last_real_ticks) {
      state.skipped += end - now - last_real_ticks;
      state.last_activity = system_counter();
    }
  }
  std::lock_guard<std::mutex> hold(state.mutex);
  state.deadlines.erase(mine);
  if (came) state.last_activity = system_counter();
  return came;
}
#endif

}  // namespace

int64_t performance_counter() {
#if defined(EFI_TESTING)
  return system_counter() + skipping().skipped.load(std::memory_order_acquire);
#else
  return system_counter();
#endif
}

bool wait_for_look(uint32_t timeout_ms, LookFunction look, void* context, bool sleep) {
  (void)sleep;
#if defined(EFI_TESTING)
  // A wait inside another's look (a sleep in a poll, a slice of a longer wait) is part of the outer
  // one, which alone stands for the thread among the deadlines.
  thread_local bool inside = false;
  if (!inside && skipping().on.load(std::memory_order_acquire)) {
    inside = true;
    // A wait without a deadline has none to stand for: it looks in slices and lets the clock jump.
    const bool came = timeout_ms == WAIT_FOREVER ? [&] {
      while (!look(context, SLICE_MS)) {
      }
      return true;
    }() : wait_skipping(timeout_ms, look, context, sleep);
    inside = false;
    return came;
  }
#endif
  const int64_t frequency = performance_frequency();
  const int64_t end = system_counter() + static_cast<int64_t>(timeout_ms) * frequency / 1000;
  for (;;) {
    const uint32_t ms = ceil_ms(end - system_counter(), frequency);
    if (look(context, ms)) return true;
    if (ms == 0) return false;
  }
}

#if defined(EFI_TESTING)
void skip_idle_time(bool on) { skipping().on.store(on, std::memory_order_release); }
bool sleep_skipping_idle_time(uint32_t milliseconds) {
  if (!skipping_idle_time()) return false;
  const auto look = [](void*, uint32_t ms) {
    if (ms == 0) return true;
    sleep_us(ms * 1000);
    return false;
  };
  wait_for_look(milliseconds, look, nullptr, true);
  return true;
}
bool skipping_idle_time() { return skipping().on.load(std::memory_order_acquire); }
void note_activity() {
  Skipping& state = skipping();
  std::lock_guard<std::mutex> hold(state.mutex);
  state.last_activity = system_counter();
}
#endif

}  // namespace efi::platform
