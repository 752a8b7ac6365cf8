// The script queue: one step per exchange in the order queued, the unit's reply when none is
// queued, and what each kind of step makes of the reply.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "script.h"

namespace softunit {
namespace {

class ScriptTest : public ::testing::Test {
 protected:
  Plan plan() { return script.plan(unit, header, data.data(), data.size(), ByteOrder::unit); }
  Bytes reply(ByteOrder order = ByteOrder::unit) {
    return serialise(0x05, unit.respond(header, data.data(), data.size()), order);
  }
  static ResponseHeader_TS header_of(const Bytes& bytes) {
    ResponseHeader_TS header;
    std::memcpy(&header, bytes.data(), sizeof header);
    return swapped(header);
  }

  Unit unit;
  Script script;
  Bytes data{7, 0, 0, 0};
  CommandHeader_TS header{EFI_COMMAND_CODE_BASE + 0x05, 4, 64, 0};
};

TEST_F(ScriptTest, StepsApplyOneExchangeEachInOrderThenTheUnitRepliesWhole) {
  script.push(Step::with_status(9));
  script.push(Step::no_reply());
  script.push(Step::exact_reply({1, 2, 3}));
  EXPECT_EQ(header_of(plan().all_bytes()).response_status, 9);
  EXPECT_TRUE(plan().writes.empty());
  EXPECT_EQ(plan().all_bytes(), (Bytes{1, 2, 3}));
  EXPECT_EQ(script.pending(), 0u);
  const Plan whole = plan();
  ASSERT_EQ(whole.writes.size(), 1u);
  EXPECT_EQ(whole.writes[0].pause_ms, 0u);
  EXPECT_EQ(whole.writes[0].bytes, reply());
  EXPECT_EQ(script.plan(unit, header, data.data(), data.size(), ByteOrder::host).all_bytes(), reply(ByteOrder::host));

  script.push(Step::no_reply());
  script.clear();
  EXPECT_EQ(plan().all_bytes(), reply());
}

TEST_F(ScriptTest, EachStepShapesTheReply) {
  const Bytes whole = reply();
  script.push(Step::with_status(0x1234));
  Bytes bytes = plan().all_bytes();
  ASSERT_EQ(bytes.size(), 8u);
  EXPECT_EQ(header_of(bytes).response_status, 0x1234);
  EXPECT_EQ(header_of(bytes).response_data_returning_size, 0);
  EXPECT_EQ(header_of(bytes).dummy, EFI_RESPONSE_MARKER);

  script.push(Step::with_marker(0xBEEF));
  bytes = plan().all_bytes();
  EXPECT_EQ(header_of(bytes).dummy, 0xBEEF);
  EXPECT_EQ(Bytes(bytes.begin() + 8, bytes.end()), Bytes(whole.begin() + 8, whole.end()));

  script.push(Step::oversized(300));
  bytes = plan().all_bytes();
  EXPECT_EQ(header_of(bytes).response_data_returning_size, 300);
  ASSERT_EQ(bytes.size(), 308u);
  EXPECT_EQ(bytes.back(), OVERSIZE_BYTE);

  script.push(Step::cut_after(5));
  EXPECT_EQ(plan().all_bytes(), Bytes(whole.begin(), whole.begin() + 5));
  script.push(Step::noise(6));
  EXPECT_EQ(plan().all_bytes(), Bytes(6, GARBAGE_BYTE));

  script.push(Step::after(150));
  const Plan delayed = plan();
  ASSERT_EQ(delayed.writes.size(), 1u);
  EXPECT_EQ(delayed.writes[0].pause_ms, 150u);
  EXPECT_EQ(delayed.writes[0].bytes, whole);

  script.push(Step::in_pieces(5));  // 12 bytes: 5, 5, 2
  const Plan split = plan();
  ASSERT_EQ(split.writes.size(), 3u);
  EXPECT_EQ(split.writes[0].pause_ms, 0u);
  EXPECT_EQ(split.writes[1].pause_ms, SPLIT_PAUSE_MS);
  EXPECT_EQ(split.writes[2].bytes.size(), whole.size() - 10);
  EXPECT_EQ(split.all_bytes(), whole);
}

// A test queues while a server's thread consumes.
TEST_F(ScriptTest, QueueingAndConsumingFromTwoThreadsLosesNoStep) {
  constexpr int STEPS = 2000;
  std::thread producer([&] {
    for (int i = 1; i <= STEPS; ++i) script.push(Step::with_status(static_cast<uint16_t>(i)));
  });
  for (int last = 0; last < STEPS;) {
    const uint16_t status = header_of(plan().all_bytes()).response_status;
    if (status == 0) continue;  // nothing queued yet: the unit's own reply
    ASSERT_EQ(status, last + 1);
    last = status;
  }
  producer.join();
  EXPECT_EQ(script.pending(), 0u);
}

}  // namespace
}  // namespace softunit
