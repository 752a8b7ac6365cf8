// The segmented exchange against a scripted adapter: every frame the host writes is recorded, and
// the unit's frames become readable once the host has made a given number of writes.
#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <numeric>
#include <vector>

#include "test_support.h"
#include "transports/can/segmentation.h"

namespace efi {
namespace {

using Frame = std::array<unsigned char, 8>;

struct ScriptedAdapter {
  static constexpr uint16_t LENGTH_LIMIT = 4095;

  bool ready() const { return is_ready; }
  unsigned char* transmit_data(uint16_t slot) { return transmit[slot].data(); }
  const unsigned char* received_data(uint16_t slot) { return receive[slot].data(); }

  uint32_t write_frames(uint16_t slot, uint16_t& count) {
    if (writes.size() == fail_write) return 10;
    std::vector<Frame> block(transmit.begin() + slot, transmit.begin() + slot + count);
    writes.push_back(block);
    if (accept_at_most) count = std::min(count, accept_at_most);
    return 0;
  }
  uint32_t write_flow_control(uint8_t block_size) {
    transmit[0][0] = 0x30;
    transmit[0][1] = block_size;
    uint16_t one = 1;
    return write_frames(0, one);
  }
  uint32_t read_frames(uint16_t& count, uint32_t wait_ms) {
    if (reads++ == fail_read) return 10;
    uint16_t placed = 0;
    if (wait_ms == 0)  // the host draining what was left on the bus
      while (placed < count && !stale.empty()) receive[placed++] = stale.front(), stale.pop_front();
    else
      while (placed < count && !incoming.empty() && incoming.front().after_writes <= writes.size())
        receive[placed++] = incoming.front().frame, incoming.pop_front();
    count = placed;
    return 0;
  }

  // The unit's frames: `frame` can be read once the host has written `after_writes` times.
  struct Incoming {
    size_t after_writes;
    Frame frame;
  };
  void unit_sends(size_t after_writes, const std::vector<Frame>& frames) {
    for (const Frame& frame : frames) incoming.push_back({after_writes, frame});
  }

  bool is_ready = true;
  std::array<Frame, CAN_TABLE_SLOTS> transmit{}, receive{};
  std::vector<std::vector<Frame>> writes;
  std::deque<Incoming> incoming;
  std::deque<Frame> stale;
  size_t fail_write = SIZE_MAX, fail_read = SIZE_MAX, reads = 0;
  uint16_t accept_at_most = 0;
};

struct PcanSizedAdapter : ScriptedAdapter {
  static constexpr uint16_t LENGTH_LIMIT = 4088;
};

// A response message (header in unit order, then data) cut into frames, with sequence numbers.
std::vector<Frame> response_frames(uint16_t returning, uint16_t status, const std::vector<unsigned char>& data,
                                   int declared = -1) {
  std::vector<unsigned char> message = {0xCD, 0x07, uint8_t(returning >> 8), uint8_t(returning), uint8_t(status >> 8),
                                        uint8_t(status), 0x55, 0xAA};
  message.insert(message.end(), data.begin(), data.end());
  const auto length = static_cast<uint16_t>(declared >= 0 ? declared : int(message.size()));
  std::vector<Frame> frames(1);
  frames[0] = {uint8_t(0x10 | length >> 8), uint8_t(length)};
  std::copy(message.begin(), message.begin() + 6, frames[0].begin() + 2);
  for (size_t at = 6, k = 1; at < message.size(); at += 7, ++k) {
    Frame frame{uint8_t(0x20 | (k & 0xF))};
    for (size_t i = 0; i < 7 && at + i < message.size(); ++i) frame[1 + i] = message[at + i];
    frames.push_back(frame);
  }
  return frames;
}

const Frame FLOW_CONTROL_ALL = {0x30, 0, 0};

class CanSegmentation : public ::testing::Test {
 protected:
  // Sends command 0x07 with `size` data bytes 0, 1, 2 …; the unit's frames come after the command.
  template <typename Adapter = ScriptedAdapter>
  uint32_t exchange(uint16_t size, Adapter& with, uint16_t capacity = 64) {
    command.resize(size);
    std::iota(command.begin(), command.end(), 0);
    header = {0xCD07, size, capacity, 0};
    response.assign(capacity + 16u, 0xCC);
    CRM crm{&header, command.data(), &response_header, response.data(), &received, nullptr};
    return can_exchange(with, clock, Reporter({test::MessageLog::handler, &log}, false), &crm);
  }
  // The unit answers flow control after the first frame, the response after the whole command.
  void unit_answers(ScriptedAdapter& with, uint16_t command_frames, const std::vector<Frame>& frames,
                    Frame flow = FLOW_CONTROL_ALL) {
    with.unit_sends(1, {flow});
    with.unit_sends(command_frames > 1 ? 2 : 1, frames);
  }

  ScriptedAdapter adapter;
  platform::Clock clock;
  std::vector<unsigned char> command, response;
  CommandHeader_TS header{};
  ResponseHeader_TS response_header{};
  uint16_t received = 0xBEEF;
  test::MessageLog log;
};

TEST_F(CanSegmentation, CommandFramesAsDocumented) {
  unit_answers(adapter, 2, response_frames(0, 0, {}));
  command = {0xD0, 0xD1, 0xD2};
  header = {0xCD05, 3, 0x0100, 0};
  response.assign(0x100, 0);
  CRM crm{&header, command.data(), &response_header, response.data(), &received, nullptr};
  ASSERT_EQ(can_exchange(adapter, clock, Reporter(), &crm), 0u);
  ASSERT_GE(adapter.writes.size(), 2u);
  EXPECT_EQ(adapter.writes[0], (std::vector<Frame>{{0x10, 0x0B, 0xCD, 0x05, 0x00, 0x03, 0x01, 0x00}}));
  ASSERT_EQ(adapter.writes[1].size(), 1u);
  EXPECT_EQ(Frame(adapter.writes[1][0]), (Frame{0x21, 0x00, 0x00, 0xD0, 0xD1, 0xD2, 0, 0}));
  // The host's flow control: block size 0, separation time = the command header's first byte.
  EXPECT_EQ(adapter.writes[2], (std::vector<Frame>{{0x30, 0x00, 0xCD, 0x05, 0x00, 0x03, 0x01, 0x00}}));
  EXPECT_EQ(header.command_code, 0x05CD) << "the command header stays in unit order";
}

TEST_F(CanSegmentation, LongCommandsWrapTheSequenceAndFitTheTable) {
  for (uint16_t size : {0, 5, 6, 4087}) {
    ScriptedAdapter with;
    const uint16_t frames = CanFrameCount(uint16_t(size + 8));
    unit_answers(with, frames, response_frames(0, 0, {}));
    ASSERT_EQ(exchange(size, with), 0u) << size;
    ASSERT_EQ(with.writes[1].size(), frames - 1u) << "block size 0: one write";
    std::vector<unsigned char> sent(with.writes[0][0].begin() + 2, with.writes[0][0].end());
    for (size_t k = 0; k < with.writes[1].size(); ++k) {
      EXPECT_EQ(with.writes[1][k][0], 0x20 | ((k + 1) & 0xF)) << k;
      sent.insert(sent.end(), with.writes[1][k].begin() + 1, with.writes[1][k].end());
    }
    sent.resize(size + 8u);
    EXPECT_EQ(std::vector<unsigned char>(sent.begin() + 8, sent.end()), command) << size;
  }
}

TEST_F(CanSegmentation, LengthLimitPerAdapter) {
  PcanSizedAdapter pcan;
  EXPECT_EQ(exchange(4081, pcan), STATUS_CR_COMMAND_TOO_LARGE);
  EXPECT_EQ(exchange(4088, adapter), STATUS_CR_COMMAND_TOO_LARGE);
  EXPECT_EQ(exchange(0xFFFC, adapter), STATUS_CR_COMMAND_TOO_LARGE) << "the length wraps in 16 bits";
  EXPECT_TRUE(adapter.writes.empty() && pcan.writes.empty());
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"UsbCanSystecSendCommandReceiveResponse: 0ff8",
                                                   "UsbCanSystecSendCommandReceiveResponse: 0fff",
                                                   "UsbCanSystecSendCommandReceiveResponse: 0fff"}));
  PcanSizedAdapter fits;
  unit_answers(fits, 585, response_frames(0, 0, {}));
  EXPECT_EQ(exchange(4080, fits), 0u);
}

TEST_F(CanSegmentation, BlocksFollowTheBlockSizeAndPartialAcceptance) {
  struct Case {
    uint8_t block_size;
    uint16_t accept_at_most;
    std::vector<size_t> blocks;  // frames per write call of the ten consecutive frames
    std::vector<unsigned> starts;
  } cases[] = {
      {3, 0, {3, 3, 3, 1}, {1, 4, 7, 10}},
      {0, 0, {10}, {1}},
      {20, 0, {10}, {1}},
      {3, 2, {3, 3, 3, 3, 2}, {1, 3, 5, 7, 9}},
  };
  for (const Case& c : cases) {
    ScriptedAdapter with;
    with.accept_at_most = c.accept_at_most;
    with.unit_sends(1, {{0x30, c.block_size}});
    with.unit_sends(1 + c.blocks.size(), response_frames(0, 0, {}));
    ASSERT_EQ(exchange(64, with), 0u);  // L = 72: 11 frames
    std::vector<size_t> blocks;
    std::vector<unsigned> starts;
    for (size_t w = 1; w + 1 < with.writes.size(); ++w) {
      blocks.push_back(with.writes[w].size());
      starts.push_back(with.writes[w][0][0] & 0x0F);
    }
    EXPECT_EQ(blocks, c.blocks) << int(c.block_size);
    EXPECT_EQ(starts, c.starts) << int(c.block_size);
  }
}

TEST_F(CanSegmentation, ResponsesReassembled) {
  std::vector<unsigned char> data(200);
  std::iota(data.begin(), data.end(), 7);
  for (uint16_t size : {uint16_t{0}, uint16_t{1}, uint16_t{5}, uint16_t{6}, uint16_t{200}}) {
    ScriptedAdapter with;
    const std::vector<unsigned char> part(data.begin(), data.begin() + size);
    unit_answers(with, 2, response_frames(size, 0, part));
    ASSERT_EQ(exchange(0, with, 200), 0u) << size;
    EXPECT_EQ(received, size);
    EXPECT_EQ(response_header.response_data_returning_size, size);
    EXPECT_EQ(response_header.dummy, 0x55AA);
    EXPECT_EQ(std::vector<unsigned char>(response.begin(), response.begin() + size), part);
    EXPECT_EQ(response[size], 0xCC) << "nothing past the data";
  }
  // The received size is the header's when the frames carried at least that many bytes; a header
  // that announces more than came fails the read and stores no size.
  const struct {
    uint16_t returning;
    size_t carried;
    uint32_t status;
    uint16_t received;
  } sizes[] = {{3, 5, 0, 3}, {3, 0, STATUS_CR_READ_FAILED, 0xBEEF}, {60, 10, STATUS_CR_READ_FAILED, 0xBEEF}};
  for (const auto& c : sizes) {
    ScriptedAdapter with;
    unit_answers(with, 2, response_frames(c.returning, 4, std::vector<unsigned char>(c.carried, 0x42)));
    received = 0xBEEF;
    EXPECT_EQ(exchange(0, with), c.status) << c.returning << " announced, " << c.carried << " carried";
    EXPECT_EQ(received, c.received) << c.returning << " announced, " << c.carried << " carried";
    EXPECT_TRUE(with.incoming.empty()) << "the whole answer is read off the bus";
  }
}

// A host may leave out the response buffer, the received-size word or the command data: nothing
// is read or written through a null pointer, and the exchange goes on as with a host that has no
// room for the answer's data.
TEST_F(CanSegmentation, NullHostBuffers) {
  const std::vector<unsigned char> data(20, 0x42);
  for (const bool with_received_word : {true, false}) {
    ScriptedAdapter with;
    with.transmit[1].fill(0xEE);
    unit_answers(with, 2, response_frames(20, 0, data));
    header = {0xCD07, 4, 64, 0};
    received = 0xBEEF;
    CRM crm{&header, nullptr, &response_header, nullptr, with_received_word ? &received : nullptr, nullptr};
    EXPECT_EQ(can_exchange(with, clock, Reporter({test::MessageLog::handler, &log}, false), &crm), 0u);
    EXPECT_EQ(received, with_received_word ? 20 : 0xBEEF);
    EXPECT_EQ(response_header.response_data_returning_size, 20);
    ASSERT_EQ(with.writes.size(), 3u) << "first frame, consecutive frame, flow control";
    EXPECT_EQ(with.writes[1][0], (Frame{0x21, 0, 0, 0, 0, 0, 0, 0xEE})) << "missing command data go out as zeros";
  }
}

TEST_F(CanSegmentation, FramesOutOfPlace) {
  const std::vector<Frame> good = response_frames(20, 0, std::vector<unsigned char>(20, 0x77));
  auto with_frame = [&](size_t index, Frame frame) {
    std::vector<Frame> frames = good;
    frames[index] = frame;
    return frames;
  };
  std::vector<Frame> late_flow_control = {{0x30, 0}};
  late_flow_control.insert(late_flow_control.end(), good.begin(), good.end());
  struct Case {
    const char* what;
    Frame flow;
    std::vector<Frame> frames;
    uint32_t status;
    bool size_stored;
  } cases[] = {
      {"flow control 0x31", {0x31, 0}, good, 0, true},
      {"flow control 0x32", {0x32, 0}, good, 0, true},
      {"not flow control", {0x21, 0}, good, STATUS_CR_NOT_INITIALIZED, false},
      {"a late flow control before the answer", FLOW_CONTROL_ALL, late_flow_control, 0, true},
      {"response starts with a consecutive frame", FLOW_CONTROL_ALL, with_frame(0, {0x21}), STATUS_CR_NOT_INITIALIZED, false},
      {"declared length below 8", FLOW_CONTROL_ALL, response_frames(0, 0, {}, 7), STATUS_CR_NOT_INITIALIZED, false},
      {"header frame out of sequence", FLOW_CONTROL_ALL, with_frame(1, {0x22}), STATUS_CR_NOT_INITIALIZED, false},
      {"data frame out of sequence", FLOW_CONTROL_ALL, with_frame(2, {0x24}), STATUS_CR_NOT_INITIALIZED, true},
      {"last frame missing", FLOW_CONTROL_ALL, std::vector<Frame>(good.begin(), good.end() - 1), STATUS_CR_READ_FAILED, false},
      {"silence after the command", FLOW_CONTROL_ALL, {}, STATUS_CR_READ_FAILED, false},
  };
  for (const Case& c : cases) {
    ScriptedAdapter with;
    unit_answers(with, 2, c.frames, c.flow);
    received = 0xBEEF;
    EXPECT_EQ(exchange(0, with), c.status) << c.what;
    EXPECT_EQ(received != 0xBEEF, c.size_stored) << c.what;
  }
  ScriptedAdapter silent;
  EXPECT_EQ(exchange(0, silent), STATUS_CR_READ_FAILED) << "no flow control";
  ScriptedAdapter spoiled;
  unit_answers(spoiled, 2, with_frame(1, {0x22}));
  EXPECT_EQ(exchange(0, spoiled), STATUS_CR_NOT_INITIALIZED);
  EXPECT_TRUE(spoiled.incoming.empty()) << "the rest of a spoiled answer is read off the bus";
}

TEST_F(CanSegmentation, ResponseLongerThanTheBufferIsReadButNotKept) {
  unit_answers(adapter, 2, response_frames(100, 0, std::vector<unsigned char>(100, 0x5A)));
  adapter.unit_sends(3, response_frames(2, 0, {1, 2}));
  EXPECT_EQ(exchange(0, adapter, 40), STATUS_CR_RESPONSE_BUFFER_TOO_SMALL);
  EXPECT_EQ(received, 0xBEEF);
  EXPECT_EQ(std::vector<unsigned char>(response.begin(), response.begin() + 40), std::vector<unsigned char>(40, 0x5A));
  EXPECT_EQ(response[40], 0xCC);
  EXPECT_EQ(adapter.incoming.size(), 2u) << "every frame of the long response was read, no more";
}

TEST_F(CanSegmentation, EachFailingPrimitiveEndsTheExchangeWithItsStatus) {
  // Writes: first frame, block, flow control. Reads: stale drain, flow control, first frame,
  // header frame, data batch.
  for (size_t k = 0; k < 7; ++k) {
    const bool write = k < 3;
    const size_t n = write ? k : k - 2;
    ScriptedAdapter with;
    (write ? with.fail_write : with.fail_read) = n;
    unit_answers(with, 2, response_frames(20, 0, std::vector<unsigned char>(20)));
    received = 0xBEEF;
    EXPECT_EQ(exchange(10, with), 10u) << (write ? "write " : "read ") << n;
    if (write) {
      EXPECT_EQ(with.writes.size(), n) << "nothing written after a failed write";
    }
    EXPECT_EQ(received, 0xBEEF);
  }
}

TEST_F(CanSegmentation, NotReadyOrStaleFrames) {
  adapter.is_ready = false;
  EXPECT_EQ(exchange(3, adapter), 0u);
  EXPECT_TRUE(adapter.writes.empty());
  EXPECT_EQ(header.command_code, 0x07CD);
  EXPECT_EQ(received, 0xBEEF);

  ScriptedAdapter with;
  with.stale = {{0x30, 0}, {0x10, 0x08}, {0x21}};
  unit_answers(with, 2, response_frames(1, 0, {0x42}));
  EXPECT_EQ(exchange(3, with), 0u);
  EXPECT_EQ(received, 1);
  EXPECT_EQ(response[0], 0x42);
}

}  // namespace
}  // namespace efi
