#include "platform/clock.h"
#include "platform/waiting.h"

#include <windows.h>

#include <atomic>

namespace efi::platform {

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803 and later; older systems refuse the flag).
constexpr DWORD HIGH_RESOLUTION_TIMER = 0x00000002;

using TimePeriod = UINT(WINAPI*)(UINT);
struct TimePeriodFunctions {
  TimePeriod begin = nullptr;
  TimePeriod end = nullptr;
};

// timeBeginPeriod and timeEndPeriod, looked up on first use so that the library imports no
// multimedia library it needs only on old systems.
const TimePeriodFunctions& time_period() {
  static const TimePeriodFunctions functions = [] {
    TimePeriodFunctions found;
    if (HMODULE winmm = LoadLibraryA("winmm.dll")) {
      found.begin = reinterpret_cast<TimePeriod>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")));
      found.end = reinterpret_cast<TimePeriod>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeEndPeriod")));
      if (!found.begin || !found.end) found = {};
    }
    return found;
  }();
  return functions;
}

// Raised resolutions held by ShortSleeps objects of this process.
std::atomic<int64_t> raised_holders{0};
// The high-resolution timer of the ShortSleeps this thread holds, if any: the polls of one exchange
// all sleep on it instead of making a timer each. A plain pointer-sized value, so the thread-local
// needs no clean-up when a thread ends.
thread_local HANDLE held_timer = nullptr;
#if defined(EFI_TESTING)
std::atomic<bool> timers_refused{false};
std::atomic<uint64_t> timer_sleeps{0}, raised_sleeps{0}, tick_sleeps{0};
std::atomic<int64_t> raised_now{0};
#endif

bool raise_resolution() {
  const TimePeriodFunctions& functions = time_period();
  if (!functions.begin || functions.begin(1) != 0) return false;
#if defined(EFI_TESTING)
  ++raised_now;
#endif
  return true;
}

void restore_resolution() {
  time_period().end(1);
#if defined(EFI_TESTING)
  --raised_now;
#endif
}

// A high-resolution timer, or null where the system has none.
HANDLE make_timer() {
#if defined(EFI_TESTING)
  if (timers_refused) return nullptr;
#endif
  return CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER, TIMER_ALL_ACCESS);
}

// A relative wait on this thread's held timer, else on one made for this sleep alone; false where
// the system has no such timer.
bool sleep_on_timer(uint64_t microseconds) {
  HANDLE timer = held_timer ? held_timer : make_timer();
  if (!timer) return false;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(microseconds) * 10;  // 100 ns units, negative: relative
  const bool slept = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                     WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
  if (timer != held_timer) CloseHandle(timer);
#if defined(EFI_TESTING)
  if (slept) ++timer_sleeps;
#endif
  return slept;
}

}  // namespace

int64_t system_counter() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

int64_t performance_frequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

namespace {

// Both sleeps: a waitable timer where there is one, else Sleep in whole milliseconds (at least
// one) with the resolution raised unless a ShortSleeps holds it raised already.
void sleep_for(uint64_t microseconds) {
  if (microseconds == 0) {
    Sleep(0);
    return;
  }
  if (sleep_on_timer(microseconds)) return;
  const auto milliseconds = static_cast<DWORD>((microseconds + 999) / 1000);
  const bool held = raised_holders.load() > 0;
  const bool raised = !held && raise_resolution();
#if defined(EFI_TESTING)
  if (held || raised)
    ++raised_sleeps;
  else
    ++tick_sleeps;
#endif
  Sleep(milliseconds);
  if (raised) restore_resolution();
}

}  // namespace

void sleep_ms(uint32_t milliseconds) {
#if defined(EFI_TESTING)
  if (sleep_skipping_idle_time(milliseconds)) return;
#endif
  sleep_for(uint64_t{milliseconds} * 1000);
}
void sleep_us(uint32_t microseconds) { sleep_for(microseconds); }

ShortSleeps::ShortSleeps() {
  // With a high-resolution timer every sleep is short already: this thread's sleeps use it until
  // the object goes. Without one, the timer resolution is raised instead.
  if (held_timer) return;  // an outer ShortSleeps of this thread holds one
  held_timer = make_timer();
  timer_ = held_timer;
  if (timer_) return;
  raised_ = raise_resolution();
  if (raised_) ++raised_holders;
}

ShortSleeps::~ShortSleeps() {
  if (timer_) {
    held_timer = nullptr;
    CloseHandle(timer_);
  }
  if (!raised_) return;
  --raised_holders;
  restore_resolution();
}

#if defined(EFI_TESTING)
SleepCounts sleep_counts() {
  SleepCounts counts;
  counts.waitable_timer = timer_sleeps.load();
  counts.raised_resolution = raised_sleeps.load();
  counts.tick = tick_sleeps.load();
  counts.raised_now = raised_now.load();
  return counts;
}
void refuse_waitable_timers(bool refuse) { timers_refused = refuse; }
#endif

}  // namespace efi::platform
