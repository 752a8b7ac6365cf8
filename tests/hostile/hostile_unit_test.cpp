// Hostile units: every scripted fault, on every link, is followed by a healthy exchange that must
// succeed with its own data. No fault may make an exchange outlast its link's bound, write past
// the host's buffer, or hand the host bytes of an earlier exchange; and no unit, however it paces
// its bytes or frames, holds an exchange past EXCHANGE_LIMIT_MS.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>

#include "link_test.h"
#include "platform/device_file.h"
#include "test_process.h"
#include "transports/common/in_step.h"
#include "transports/net/bluetooth_link.h"
#include "unit_responder.h"

namespace efi {
namespace {

using Kind = softunit::LinkFault::Kind;

enum class LinkKind { usb, ethernet, bluetooth, pcan };
const char* const LINK_NAMES[] = {"usb_", "ethernet_", "bluetooth_"};

struct Hostility {
  const char* name;
  softunit::LinkFault fault;
};

const Hostility HOSTILITIES[] = {
    {"garbage_instead_of_a_header", {Kind::garbage, 8}},
    {"three_bytes_of_garbage", {Kind::garbage, 3}},
    {"truncated_header", {Kind::short_header, 5}},
    {"header_split_four_and_four", {Kind::split, 4}},
    {"answer_in_three_byte_pieces", {Kind::split, 3}},
    {"stray_bytes_after_the_answer", {Kind::trailing, 5}},
    {"answer_dripped_byte_by_byte", {Kind::drip, 15}},
    {"answer_stops_midway", {Kind::stall, 12}},
    {"connection_reset_midway", {Kind::close, 10}},
    {"more_data_announced_than_sent", {Kind::announce_more, 10}},
    {"larger_than_the_host_buffer", {Kind::oversize, 100}},
    {"absurd_size", {Kind::oversize, 65000}},
    {"bad_marker", {Kind::bad_marker, 0x1234}},
    {"answer_late", {Kind::delay, 6500}},
    {"silence", {Kind::silence, 0}},
};

// A link of `kind` opened on a unit that echoes, with messages suppressed.
class HostileLink : public test::LinkTest {
 protected:
  void open(LinkKind kind) {
    enable_error_messages(0);
    if (kind == LinkKind::usb) {
      auto device = std::make_unique<softunit::DeviceServer>(softunit::echo_responder());
      flag = EFI_FLAG_USB;
      text = device->device_path();
      bound_ms = EXCHANGE_LIMIT_MS;
      server = std::move(device);
    } else if (kind == LinkKind::bluetooth) {
      auto device = std::make_unique<softunit::DeviceServer>(softunit::echo_responder(), softunit::DeviceFraming::bluetooth);
      devices = std::make_unique<test::DeviceDirectory>(BLUETOOTH_DEVICE_CLASS, device->device_path());
      flag = EFI_FLAG_BLUETOOTH;
      bound_ms = 2 * platform::DEVICE_BOUNDS.first_byte_ms;
      server = std::move(device);
    } else if (kind == LinkKind::pcan) {
      auto bus = std::make_unique<softunit::CanServer>(softunit::echo_responder());
      bus->publish_port();
      ASSERT_EQ(set_adapter_library(EFI_FLAG_PCAN, test::module_path(EFI_PCAN_STANDIN).c_str()), 0u);
      flag = EFI_FLAG_PCAN;
      bound_ms = EXCHANGE_LIMIT_MS;
      server = std::move(bus);
    } else {
      auto tcp = std::make_unique<softunit::TcpServer>(softunit::echo_responder());
      set_ethernet_address("127.0.0.1", std::to_string(tcp->port()).c_str());
      flag = EFI_FLAG_ETHERNET;
      bound_ms = ETHERNET_HEADER_WAIT_MS + ETHERNET_PIECE_WAIT_MS;
      server = std::move(tcp);
    }
    initialize();
  }
  // The host initialises again after a failure, as it must for a dropped connection.
  void initialize() { ASSERT_EQ(initialize_interfaces(flag, text.empty() ? nullptr : text.c_str()), 0u); }

  // One exchange of command 0x07 (never converted) with `size` data bytes numbered by `round`;
  // checks the guard bytes and the time taken (kept in `elapsed_ms`), and returns the status.
  uint32_t exchange(unsigned char round, bool& own_data, uint16_t size = 12) {
    const uint16_t capacity = std::max(CAPACITY, size);
    Bytes data(size, round);
    response.assign(capacity + GUARD, 0xCC);
    received = 0xBEEF;
    const double start = test::seconds_now();
    testing::internal::CaptureStdout();  // the Bluetooth link's progress lines
    const uint32_t status = send_command(0x07, data.data(), size, response.data(), capacity, &received);
    elapsed_ms = static_cast<int64_t>((test::seconds_now() - start) * 1000);
    testing::internal::GetCapturedStdout();
    EXPECT_LT(elapsed_ms, bound_ms + 1000) << "round " << int(round);
    for (size_t i = capacity; i < response.size(); ++i) EXPECT_EQ(response[i], 0xCC) << "guard byte " << i;
    // Only this exchange's bytes may reach the host: its own echo or the filler it was given.
    for (size_t i = 0; i < capacity; ++i)
      if (response[i] != 0xCC && response[i] != round && response[i] != 0x5A && response[i] != 0xEE)
        ADD_FAILURE() << "byte " << i << " of round " << int(round) << " is " << int(response[i]);
    own_data = received == size && Bytes(response.begin(), response.begin() + size) == data;
    return status;
  }

  static constexpr uint16_t CAPACITY = 64;
  static constexpr size_t GUARD = 64;
  std::unique_ptr<softunit::LinkServer> server;
  std::unique_ptr<test::DeviceDirectory> devices;
  uint32_t flag = 0;
  std::string text;
  uint32_t bound_ms = 0;
  int64_t elapsed_ms = 0;
};

// A unit that would hold one exchange past EXCHANGE_LIMIT_MS: the exchange fails by the limit, and
// once the unit has had its say the next exchange returns its own data.
struct PastTheLimit {
  const char* name;
  LinkKind link;
  softunit::LinkFault fault;
  uint16_t size;  // of the command, and so of the echo
};

const PastTheLimit PAST_THE_LIMIT[] = {
    // A byte every 100 ms never lets a read's wait run out: the 108 bytes would take 10.8 s.
    {"usb_answer_dripped", LinkKind::usb, {Kind::drip, 100}, 100},
    {"ethernet_answer_dripped", LinkKind::ethernet, {Kind::drip, 100}, 100},
    {"bluetooth_answer_dripped", LinkKind::bluetooth, {Kind::drip, 100}, 100},
    // One exchange routine serves every CAN adapter; PCAN stands for them all. Each flow control in
    // place of the answer is skipped as a late one and would start the wait for the answer afresh.
    {"can_flow_control_every_900_ms", LinkKind::pcan, {Kind::flow_control_again, EXCHANGE_LIMIT_MS + 1000}, 12},
    // The 110 frames, each well within the wait between frames, would take 10.9 s.
    {"can_frames_100_ms_apart", LinkKind::pcan, {Kind::frame_gap, 100}, 760},
};

void PrintTo(const PastTheLimit& past, std::ostream* out) { *out << past.name; }

class UnitPastTheLimit : public HostileLink, public ::testing::WithParamInterface<PastTheLimit> {
 protected:
  void SetUp() override {
    HostileLink::SetUp();
    open(GetParam().link);
    bound_ms = EXCHANGE_LIMIT_MS;
  }
};

TEST_P(UnitPastTheLimit, ExchangeFailsByTheLimitAndTheNextIsInStep) {
  bool own_data = false;
  server->queue_fault(GetParam().fault);
  EXPECT_EQ(exchange(1, own_data, GetParam().size), STATUS_CR_READ_FAILED);
  EXPECT_EQ(received, 0xBEEF);
  // Ended by the limit: not long after it, nor by a wait of its own that ran out long before.
  EXPECT_GE(elapsed_ms, EXCHANGE_LIMIT_MS - 500);
  EXPECT_LE(elapsed_ms, EXCHANGE_LIMIT_MS + 300);
  // The unit on the bus goes on with its answer; once it is done, what it left on the bus is
  // dropped before the next command.
  if (auto* bus = dynamic_cast<softunit::CanServer*>(server.get())) {
    for (int waited = 0; bus->answering() && waited < 500; ++waited) platform::sleep_ms(10);
    platform::sleep_ms(100);  // the frame the unit sent last reaches the adapter's queue
  }
  initialize();
  EXPECT_EQ(exchange(2, own_data), 0u);
  EXPECT_TRUE(own_data);
}

INSTANTIATE_TEST_SUITE_P(EveryRoutine, UnitPastTheLimit, ::testing::ValuesIn(PAST_THE_LIMIT),
                         [](const auto& info) { return std::string(info.param.name); });

class BluetoothPastTheLimit : public HostileLink {
 protected:
  void SetUp() override {
    HostileLink::SetUp();
    open(LinkKind::bluetooth);
    bound_ms = EXCHANGE_LIMIT_MS;
  }
};

// After a failed exchange the unit trickles on (a byte every 100 ms) for 11 s. The next exchange
// may neither send its command into the trickle nor take the trickle for its answer: it fails by
// the limit, and the one after it, once the line is quiet, returns its own data.
TEST_F(BluetoothPastTheLimit, TrickleAfterAFailedExchangeNeverReachesTheHost) {
  bool own_data = false;
  server->queue_fault({Kind::trickle, EXCHANGE_LIMIT_MS + 1000});
  EXPECT_NE(exchange(1, own_data), 0u) << "a header of trickle";
  EXPECT_EQ(exchange(2, own_data), STATUS_CR_READ_FAILED);
  EXPECT_LE(elapsed_ms, EXCHANGE_LIMIT_MS + 300);
  EXPECT_EQ(received, 0xBEEF);
  EXPECT_EQ(std::count(response.begin(), response.end(), 0xEE), 0) << "the trickle reached the host";
  EXPECT_EQ(server->received_count(), 1u) << "a command went out into the trickle";
  EXPECT_EQ(exchange(3, own_data), 0u);
  EXPECT_TRUE(own_data);
}

class HostileUnit : public HostileLink, public ::testing::WithParamInterface<std::tuple<LinkKind, Hostility>> {
 protected:
  void SetUp() override {
    HostileLink::SetUp();
    open(std::get<0>(GetParam()));
  }
};

TEST_P(HostileUnit, NextExchangeWithAHealthyUnitIsInStep) {
  bool own_data = false;
  ASSERT_EQ(exchange(1, own_data), 0u);
  LinkFault fault = std::get<1>(GetParam()).fault;
  // A late answer comes half a second after the link gave up on it: the USB and Ethernet links
  // wait 6 s and 5 s for a header, the Bluetooth link 2 s.
  if (fault.kind == Kind::delay && std::get<0>(GetParam()) == LinkKind::bluetooth) fault.value = 2500;
  server->queue_fault(fault);
  const uint32_t status = exchange(2, own_data);
  // A bad marker is the one fault the Bluetooth link tells of by messages only: the host gets the
  // status its header carried, without a received size. Anything that did not arrive fails.
  const bool status_of_the_header = std::get<0>(GetParam()) == LinkKind::bluetooth && fault.kind == Kind::bad_marker;
  if (status == 0 && !status_of_the_header) {
    EXPECT_TRUE(own_data) << "a successful exchange returns its own data";
  } else {
    EXPECT_EQ(received, 0xBEEF) << "no received size for a failed exchange";
  }
  initialize();
  for (unsigned char round = 3; round <= 4; ++round) {
    EXPECT_EQ(exchange(round, own_data), 0u) << "round " << int(round);
    EXPECT_TRUE(own_data) << "round " << int(round) << " returned another exchange's data";
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryLink, HostileUnit, ::testing::Combine(::testing::Values(LinkKind::usb, LinkKind::ethernet, LinkKind::bluetooth),
                                               ::testing::ValuesIn(HOSTILITIES)),
    [](const auto& info) {
      return std::string(LINK_NAMES[int(std::get<0>(info.param))]) + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace efi
