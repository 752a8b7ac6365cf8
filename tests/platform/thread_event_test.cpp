#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "platform/waiting.h"

namespace efi::platform {
namespace {

struct Setter {
  const Event* event;
  uint32_t delay_ms;
  std::atomic<bool> done{false};
  static void run(void* argument) {
    auto* setter = static_cast<Setter*>(argument);
    sleep_ms(setter->delay_ms);
    set_event(*setter->event);
    setter->done = true;
  }
};

// A wait on an unset event lasts its time-out; one on an event that a thread sets ends then.
// Closing a thread waits for its end.
TEST(ThreadAndEvent, AThreadSetsTheEventItsStarterWaitsFor) {
  const Event event = create_event(EventReset::automatic);
  ASSERT_TRUE(event);
  const Clock clock;
  int64_t start = clock.now();
  EXPECT_EQ(wait_event(event, 150), EventWait::timed_out);
  EXPECT_GE(clock.seconds_since(start), 0.140);

  Setter setter{&event, 100};
  Thread thread = start_thread(Setter::run, &setter);
  ASSERT_TRUE(thread);
  start = clock.now();
  EXPECT_EQ(wait_event(event, 10000), EventWait::signalled);
  EXPECT_LT(clock.seconds_since(start), 5.0);
  join_thread(thread);
  EXPECT_FALSE(thread);
  EXPECT_TRUE(setter.done);

  const Event manual = create_event(EventReset::manual);
  Setter closed{&manual, 100};
  { Thread closing = start_thread(Setter::run, &closed); }
  EXPECT_TRUE(closed.done);
  EXPECT_EQ(wait_event(manual, 0), EventWait::signalled);
}

// On a clock that skips idle time long waits cost little real time, yet end by what comes first:
// a thread that sleeps and then sets the event ends a wait whose own deadline is later.
TEST(ThreadAndEvent, SkippedIdleTimeKeepsTheOrderOfDeadlines) {
  const Event event = create_event(EventReset::automatic);
  const Clock clock;
  skip_idle_time(true);
  const int64_t real_start = system_counter();
  int64_t start = clock.now();
  EXPECT_EQ(wait_event(event, 5000), EventWait::timed_out);
  EXPECT_GE(clock.seconds_since(start), 5.0);
  Setter setter{&event, 3000};
  start = clock.now();
  Thread thread = start_thread(Setter::run, &setter);
  EXPECT_EQ(wait_event(event, 8000), EventWait::signalled);
  const double waited = clock.seconds_since(start);
  join_thread(thread);
  skip_idle_time(false);
  EXPECT_GE(waited, 3.0);
  EXPECT_LT(waited, 5.0);
  EXPECT_LT(static_cast<double>(system_counter() - real_start) / static_cast<double>(clock.frequency), 2.5);
}

// '+' for each of `count` waits that found the event signalled, '-' for each that timed out.
std::string waits(const Event& event, int count) {
  std::string outcomes;
  while (count-- > 0) outcomes += wait_event(event, 0) == EventWait::signalled ? '+' : '-';
  return outcomes;
}

TEST(ThreadAndEvent, AutomaticEventsLetOneWaitThroughManualOnesStaySet) {
  const Event automatic = create_event(EventReset::automatic, true);
  EXPECT_EQ(waits(automatic, 2), "+-");
  ASSERT_TRUE(set_event(automatic) && reset_event(automatic));
  EXPECT_EQ(waits(automatic, 1), "-");

  const Event manual = create_event(EventReset::manual);
  EXPECT_EQ(waits(manual, 1), "-");
  ASSERT_TRUE(set_event(manual));
  EXPECT_EQ(waits(manual, 2), "++");
  ASSERT_TRUE(reset_event(manual));
  EXPECT_EQ(waits(manual, 1), "-");
}

TEST(ThreadAndEvent, EveryOpenOfANamedEventSeesTheSameEvent) {
  const std::string name = "efilink test event " + std::to_string(performance_counter());
  {
    const Event first = open_named_event(name.c_str(), EventReset::manual);
    const Event second = open_named_event(name.c_str(), EventReset::manual);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(waits(second, 1), "-");
    ASSERT_TRUE(set_event(first));
    EXPECT_EQ(waits(second, 1) + waits(first, 1), "++");
    ASSERT_TRUE(reset_event(second));
    EXPECT_EQ(waits(first, 1), "-");

    // A waiter on one open is woken through the other.
    Setter setter{&first, 50};
    Thread thread = start_thread(Setter::run, &setter);
    EXPECT_EQ(wait_event(second, 10000), EventWait::signalled);
  }
  // With every open closed the event is gone: the next open finds a new one, not signalled.
  const Event again = open_named_event(name.c_str(), EventReset::automatic);
  ASSERT_TRUE(again);
  EXPECT_EQ(waits(again, 1), "-");
  ASSERT_TRUE(set_event(again));
  EXPECT_EQ(waits(again, 2), "+-");
  remove_named_event(name.c_str());
}

}  // namespace
}  // namespace efi::platform
