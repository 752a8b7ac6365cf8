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
  Plan plan(ByteOrder order = ByteOrder::unit) { return script.plan(unit, header, data.data(), data.size(), order); }
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
  EXPECT_EQ(plan(ByteOrder::host).all_bytes(), reply(ByteOrder::host));

  script.push(Step::no_reply());
  script.clear();
  EXPECT_EQ(plan().all_bytes(), reply());
}

TEST_F(ScriptTest, EachStepShapesTheReply) {
  const Bytes whole = reply();
  script.push(Step::with_status(0x1234));
  ResponseHeader_TS refused = header_of(plan().all_bytes());
  EXPECT_EQ(refused.response_status, 0x1234);
  EXPECT_EQ(refused.response_data_returning_size, 0);
  EXPECT_EQ(refused.dummy, EFI_RESPONSE_MARKER);

  script.push(Step::with_marker(0xBEEF));
  Bytes bytes = plan().all_bytes();
  EXPECT_EQ(header_of(bytes).dummy, 0xBEEF);
  EXPECT_EQ(Bytes(bytes.begin() + 8, bytes.end()), Bytes(whole.begin() + 8, whole.end()));

  script.push(Step::oversized(300));
  bytes = plan().all_bytes();
  EXPECT_EQ(header_of(bytes).response_data_returning_size, 300);
  EXPECT_EQ(bytes.size(), 308u);
  EXPECT_EQ(bytes.back(), OVERSIZE_BYTE);

  script.push(Step::cut_after(5));
  EXPECT_EQ(plan().all_bytes(), Bytes(whole.begin(), whole.begin() + 5));
  script.push(Step::noise(6));
  EXPECT_EQ(plan().all_bytes(), Bytes(6, GARBAGE_BYTE));

  script.push(Step::after(150));
  script.push(Step::in_pieces(5));  // 12 bytes: 5, 5, 2
  std::vector<std::pair<uint32_t, size_t>> writes;  // pause, size
  for (const Plan& shaped : {plan(), plan()}) {
    EXPECT_EQ(shaped.all_bytes(), whole);
    for (const Write& write : shaped.writes) writes.emplace_back(write.pause_ms, write.bytes.size());
  }
  EXPECT_EQ(writes, (std::vector<std::pair<uint32_t, size_t>>{
                        {150, whole.size()}, {0, 5}, {SPLIT_PAUSE_MS, 5}, {SPLIT_PAUSE_MS, whole.size() - 10}}));
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
