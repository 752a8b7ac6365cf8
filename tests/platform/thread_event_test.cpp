#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace efi::platform {
namespace {

double elapsed_ms(const Clock& clock, int64_t start) { return clock.seconds_since(start) * 1000.0; }

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

TEST(ThreadAndEvent, AThreadSetsTheEventItsStarterWaitsFor) {
  const Event event = create_event(EventReset::automatic);
  ASSERT_TRUE(event);
  const Clock clock;
  int64_t start = clock.now();
  EXPECT_EQ(wait_event(event, 150), EventWait::timed_out);
  EXPECT_GE(elapsed_ms(clock, start), 140.0);

  Setter setter{&event, 100};
  Thread thread = start_thread(Setter::run, &setter);
  ASSERT_TRUE(thread);
  start = clock.now();
  EXPECT_EQ(wait_event(event, 10000), EventWait::signalled);
  EXPECT_LT(elapsed_ms(clock, start), 5000.0);
  join_thread(thread);
  EXPECT_FALSE(thread);
  EXPECT_TRUE(setter.done);
}

TEST(ThreadAndEvent, ClosingAThreadWaitsForItsEnd) {
  const Event event = create_event(EventReset::manual);
  Setter setter{&event, 100};
  { Thread thread = start_thread(Setter::run, &setter); }
  EXPECT_TRUE(setter.done);
  EXPECT_EQ(wait_event(event, 0), EventWait::signalled);
}

TEST(ThreadAndEvent, AutomaticEventsLetOneWaitThroughManualOnesStaySet) {
  const Event automatic = create_event(EventReset::automatic, true);
  EXPECT_EQ(wait_event(automatic, 0), EventWait::signalled);
  EXPECT_EQ(wait_event(automatic, 0), EventWait::timed_out);
  ASSERT_TRUE(set_event(automatic));
  ASSERT_TRUE(reset_event(automatic));
  EXPECT_EQ(wait_event(automatic, 0), EventWait::timed_out);

  const Event manual = create_event(EventReset::manual);
  EXPECT_EQ(wait_event(manual, 0), EventWait::timed_out);
  ASSERT_TRUE(set_event(manual));
  EXPECT_EQ(wait_event(manual, 0), EventWait::signalled);
  EXPECT_EQ(wait_event(manual, 0), EventWait::signalled);
  ASSERT_TRUE(reset_event(manual));
  EXPECT_EQ(wait_event(manual, 0), EventWait::timed_out);
}

TEST(ThreadAndEvent, EveryOpenOfANamedEventSeesTheSameEvent) {
  const std::string name = "efilink test event " + std::to_string(performance_counter());
  {
    const Event first = open_named_event(name.c_str(), EventReset::manual);
    const Event second = open_named_event(name.c_str(), EventReset::manual);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_EQ(wait_event(second, 0), EventWait::timed_out);
    ASSERT_TRUE(set_event(first));
    EXPECT_EQ(wait_event(second, 0), EventWait::signalled);
    EXPECT_EQ(wait_event(first, 0), EventWait::signalled);
    ASSERT_TRUE(reset_event(second));
    EXPECT_EQ(wait_event(first, 0), EventWait::timed_out);

    // A waiter on one open is woken through the other.
    Setter setter{&first, 50};
    Thread thread = start_thread(Setter::run, &setter);
    EXPECT_EQ(wait_event(second, 10000), EventWait::signalled);
  }
  // With every open closed the event is gone: the next open finds a new one, not signalled.
  const Event again = open_named_event(name.c_str(), EventReset::automatic);
  ASSERT_TRUE(again);
  EXPECT_EQ(wait_event(again, 0), EventWait::timed_out);
  ASSERT_TRUE(set_event(again));
  EXPECT_EQ(wait_event(again, 0), EventWait::signalled);
  EXPECT_EQ(wait_event(again, 0), EventWait::timed_out);
  remove_named_event(name.c_str());
}

}  // namespace
}  // namespace efi::platform
