// The COM-port link against the software unit on a serial line reached by a port name.
#include <gtest/gtest.h>

#include <string>

#include "all_commands.h"
#include "serial_fixture.h"

namespace efi {
namespace {

constexpr unsigned PORT_NUMBER = 12;  // past COM9: the name form matters on Windows
constexpr uint32_t COM_PORT = EFI_FLAG_COM_SERIAL | (PORT_NUMBER << EFI_FLAG_SERIAL_PORT_SHIFT);
constexpr uint32_t COMMAND_RESPONSE = COM_PORT | EFI_FLAG_COMMAND_RESPONSE_INTERFACE;
constexpr uint32_t NO_ANSWER = 0xFFFF;  // the response status preset before the header arrives

class ComSerialLink : public test::SerialLinkTest {
 protected:
  void SetUp() override {
    if (const std::string reason = server.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
    if (const std::string& reason = mapping.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
    LinkTest::SetUp();
#if defined(_WIN32)
    // Under Wine the port's bytes pass through a relay process the clock cannot see: real time.
    platform::skip_idle_time(false);
#endif
  }

  test::ComPortMapping mapping{PORT_NUMBER, server.device_path()};
};

TEST_F(ComSerialLink, EveryCommandRoundTripsWithConversion) {
  softunit::SerialServer unit(softunit::unit_responder());
  test::ComPortMapping unit_mapping(PORT_NUMBER + 1, unit.device_path());
  ASSERT_EQ(initialize_interfaces(COM_PORT + (1u << EFI_FLAG_SERIAL_PORT_SHIFT) + EFI_FLAG_COMMAND_RESPONSE_INTERFACE,
                                  nullptr),
            0u);
  EXPECT_EQ(process().ports.command_response_port.name, L"COM13");
  // Under Wine socat joins the new pair of terminals a moment after it starts, and what is written
  // before that is lost: wait until one exchange gets through.
  for (int attempt = 0; attempt < 5; ++attempt) {
    unsigned char answer[16] = {};
    uint16_t received = 0xBEEF;
    if (send_command(0x00, nullptr, 0, answer, sizeof answer, &received) == 0 && received != 0xBEEF) break;
  }
  test::expect_every_command_round_trips(unit);
}

TEST_F(ComSerialLink, OnlyTheNoConversionAnswerConnects) {
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  server.set_connect_reply(0xC5);
  EXPECT_EQ(connect_command_response_interface(), 1u);
  EXPECT_EQ(process().no_conversion, 0);
  server.set_connect_reply(0xCC);
  EXPECT_EQ(connect_command_response_interface(), 0u);
  EXPECT_EQ(process().no_conversion, 1);
  // The header now goes out in host order, as the unit expects after 0xCC.
  ASSERT_EQ(echo(9), 0u);
  EXPECT_TRUE(echoed());
}

TEST_F(ComSerialLink, ResponsesLargerThanTheRingArriveWhole) {
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  for (uint16_t size : {0u, 997u, 998u, 999u, 2500u, TS_MAX_TRANSFERSTRUCTS_SIZE}) {
    EXPECT_EQ(echo(size, size), 0u) << size;
    EXPECT_TRUE(echoed()) << size;
  }
}

TEST_F(ComSerialLink, HostileUnitThenHealthyExchange) {
  constexpr uint16_t UNTOUCHED = 0xBEEF;
  struct Case {
    LinkFault fault;
    uint32_t status;
    uint16_t received;  // 40: the echo arrived
  } cases[] = {
      {{Kind::silence, 0}, NO_ANSWER, UNTOUCHED},  // a dead unit never looks like success
      {{Kind::short_header, 5}, NO_ANSWER, UNTOUCHED},
      {{Kind::ack, 0x42}, 0, 40},
      {{Kind::split_header, 3}, 0, 40},
      {{Kind::stale, 16}, 0, 40},
      {{Kind::trailing, 5}, 0, 40},
      {{Kind::drip, 2}, 0, 40},
      {{Kind::oversize, 257}, STATUS_CR_RESPONSE_BUFFER_TOO_SMALL, UNTOUCHED},
      {{Kind::status, 7}, 7, 0},
      {{Kind::stale, 3000}, 0, 40},  // three rings' worth waiting before the next command
      {{Kind::delay, 2500}, NO_ANSWER, UNTOUCHED},  // the late answer is no one's
      {{Kind::drip, 250}, NO_ANSWER, UNTOUCHED},    // 49 bytes, 12 s: past the exchange bound
  };
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  for (const Case& c : cases) {
    ASSERT_EQ(echo(20), 0u);
    server.queue_fault(c.fault);
    const double start = test::seconds_now();
    EXPECT_EQ(echo(40), c.status) << int(c.fault.kind);
    EXPECT_LT(test::seconds_now() - start, EXCHANGE_LIMIT_MS / 1000.0 + 1) << int(c.fault.kind);
    EXPECT_EQ(received, c.received) << int(c.fault.kind);
    EXPECT_EQ(echoed(), c.received == 40) << int(c.fault.kind);
    platform::sleep_ms(50);
    EXPECT_EQ(echo(33), 0u) << "after " << int(c.fault.kind);
    EXPECT_TRUE(echoed()) << "after " << int(c.fault.kind);
  }
}

TEST_F(ComSerialLink, PortThatDoesNotOpenFailsInitialisation) {
  const uint32_t other_port = EFI_FLAG_COM_SERIAL | (5u << EFI_FLAG_SERIAL_PORT_SHIFT);
  EXPECT_EQ(initialize_interfaces(other_port | EFI_FLAG_COMMAND_RESPONSE_INTERFACE, nullptr), 1u);
  EXPECT_EQ(process().ports.command_response_port.name, L"COM5");
  EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED);
  // The stream port record has no name: it never opens here.
  EXPECT_EQ(initialize_interfaces(COMMAND_RESPONSE | EFI_FLAG_STREAM_INTERFACE, nullptr), 1u);
  EXPECT_EQ(echo(4), 0u) << "the command/response port opened all the same";
}

TEST_F(ComSerialLink, CloseBitsAndLockedBuffers) {
  EXPECT_EQ(initialize_interfaces(COM_PORT, nullptr), 0u);
  EXPECT_EQ(close_interfaces(EFI_CLOSE_ALL_PORTS), 0u) << "before any port object: nothing to do";
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  EXPECT_EQ(close_interfaces(EFI_CLOSE_STREAM_PORT), 0u);
  EXPECT_EQ(echo(4), 0u) << "closing the stream interface that was never open leaves the port";
  EXPECT_EQ(close_interfaces(EFI_CLOSE_COMMAND_RESPONSE_PORT), 0u);
  EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED);
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  EXPECT_EQ(close_interfaces(EFI_CLOSE_ALL_PORTS), 0u);
  EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED);

  // A locked buffer that could not be set up: the interface opens, its exchanges send nothing.
  platform::inject_fault(platform::FaultPoint::page_lock, 1, 1, 5);
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  const size_t before = server.received_count();
  EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED);
  EXPECT_EQ(server.received_count(), before);
}

}  // namespace
}  // namespace efi
