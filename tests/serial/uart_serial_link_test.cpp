// The UART-driver link through the stand-in driver library, against the software unit on a
// serial line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "all_commands.h"
#include "serial_fixture.h"

namespace efi {
namespace {

constexpr uint32_t LEGACY_3F8 = EFI_FLAG_UART_SERIAL | (1u << EFI_FLAG_SERIAL_PORT_SHIFT) | EFI_FLAG_SERIAL_FIRST_PORT;
constexpr uint32_t COMMAND_RESPONSE = LEGACY_3F8 | EFI_FLAG_COMMAND_RESPONSE_INTERFACE;

// The unit counts closing bytes on its own thread: wait until it has seen `count` of them.
size_t closing_bytes_seen(const softunit::SerialServer& server, size_t count) {
  for (int tries = 0; server.closing_bytes() < count && tries < 100; ++tries) platform::sleep_ms(10);
  return server.closing_bytes();
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The library as a host loads it, on the command/response port through the stand-in driver: one
// exchange, 0 when it went well.
uint32_t host_exchange(const test::HostLibrary& library) {
  if (!library.loaded() || library.set_adapter_library(EFI_FLAG_UART_SERIAL, test::uart_driver_file().c_str()))
    return 1;
  library.set_message_handler([](const char*, const char*, void*) {}, nullptr);
  if (const uint32_t status = library.initialize(COMMAND_RESPONSE, nullptr)) return status;
  uint32_t connected = 1;
  for (int tries = 0; connected != 0 && tries < 3; ++tries) connected = library.connect();
  if (connected) return connected;
  unsigned char data[12] = {1, 2, 3}, response[64];
  uint16_t received = 0;
  const uint32_t status = library.send_command(0x60, data, sizeof data, response, sizeof response, &received);
  return status == 0 && received == sizeof data ? 0 : 1;
}

class UartSerialLink : public test::SerialLinkTest {
 protected:
  void SetUp() override {
    if (const std::string reason = server.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
    ASSERT_TRUE(driver.loaded()) << test::uart_driver_file();
    test::map_uart_ports(server.device_path());
    fresh_library();
  }
  void fresh_library() {
    LinkTest::fresh_library();
    ASSERT_EQ(set_adapter_library(EFI_FLAG_UART_SERIAL, test::uart_driver_file().c_str()), 0u);
    driver.calls();
  }
  uint32_t initialize_port(uint32_t selection) {
    return initialize_interfaces(EFI_FLAG_UART_SERIAL | (1u << EFI_FLAG_SERIAL_PORT_SHIFT) | selection |
                                     EFI_FLAG_COMMAND_RESPONSE_INTERFACE,
                                 nullptr);
  }
  void open_command_response() {
    ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
    // The connect reads the answer once, 20 ms after the indicator: a loaded machine under Wine
    // does not always answer that fast, so a healthy line gets three tries.
    uint32_t connected = 1;
    for (int tries = 0; connected != 0 && tries < 3; ++tries) connected = connect_command_response_interface();
    ASSERT_EQ(connected, 0u);
    log.messages.clear();
  }

  test::StandInDriver driver;
};

TEST_F(UartSerialLink, EveryCommandRoundTripsWithConversion) {
  softunit::SerialServer unit(softunit::unit_responder());
  test::map_uart_ports(unit.device_path());
  open_command_response();
  test::expect_every_command_round_trips(unit);
  EXPECT_EQ(closing_bytes_seen(unit, CONVERTER_ROW_COUNT), CONVERTER_ROW_COUNT);
}

TEST_F(UartSerialLink, ConnectAnswerChoosesConversion) {
  struct Case {
    uint8_t reply;  // 0: none within the 20 ms
    uint32_t status;
    uint8_t no_conversion;
  } cases[] = {{0xCC, 0, 1}, {0xC5, 0, 0}, {0x42, 1, 1}, {0, 1, 1}};
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  for (const Case& c : cases) {
    server.set_connect_reply(c.reply);
    process().no_conversion = c.no_conversion ^ 1;  // the answer must change it, when it does
    if (c.status) process().no_conversion = c.no_conversion;
    EXPECT_EQ(connect_command_response_interface(), c.status) << int(c.reply);
    EXPECT_EQ(process().no_conversion, c.no_conversion) << int(c.reply);
  }
  // After 0xCC the header goes out in host order, which the unit then expects.
  server.set_connect_reply(0xCC);
  ASSERT_EQ(connect_command_response_interface(), 0u);
  ASSERT_EQ(echo(5), 0u);
  EXPECT_TRUE(echoed());
  EXPECT_EQ(server.received().back().header.command_code, EFI_COMMAND_CODE_BASE + 0x60);
}

TEST_F(UartSerialLink, HostileUnitThenHealthyExchange) {
  constexpr uint32_t FAILED = STATUS_CR_SERIAL_TRANSFER_FAILED;
  struct Case {
    LinkFault fault;
    uint32_t status;
  } cases[] = {
      {{Kind::silence, 0}, FAILED},    {{Kind::ack, 0x42}, FAILED},  {{Kind::short_header, 5}, FAILED},
      {{Kind::split_header, 3}, 0},    {{Kind::split, 7}, 0},        {{Kind::stale, 16}, 0},
      {{Kind::trailing, 5}, 0},        {{Kind::drip, 2}, 0},         {{Kind::stall, 12}, FAILED},
      {{Kind::oversize, 257}, STATUS_CR_RESPONSE_BUFFER_TOO_SMALL},  {{Kind::status, 7}, 7},
      {{Kind::delay, 2500}, FAILED},  // the late answer is no one's
      {{Kind::drip, 250}, FAILED},    // 12 s: past the exchange bound
  };
  open_command_response();
  size_t closed = 0;  // exchanges the host ended with its closing byte
  for (const Case& c : cases) {
    server.queue_fault(c.fault);
    const double start = test::seconds_now();
    EXPECT_EQ(echo(40), c.status) << int(c.fault.kind);
    EXPECT_LT(test::seconds_now() - start, EXCHANGE_LIMIT_MS / 1000.0 + 1) << int(c.fault.kind);
    if (c.status == 0) {
      EXPECT_TRUE(echoed()) << int(c.fault.kind);
    }
    if (c.status == STATUS_CR_RESPONSE_BUFFER_TOO_SMALL) {
      EXPECT_EQ(received, 0xBEEF);
      EXPECT_EQ(response[0], 0xCC) << "the host's buffer is not written";
    }
    closed += c.status == FAILED ? 1 : 2;
    platform::sleep_ms(50);  // stale bytes have arrived before the next command
    EXPECT_EQ(echo(33), 0u) << "after " << int(c.fault.kind);
    EXPECT_TRUE(echoed()) << "after " << int(c.fault.kind);
  }
  EXPECT_EQ(closing_bytes_seen(server, closed), closed) << "oversize answers are drained and closed too";
}

TEST_F(UartSerialLink, EmptyCommandAndResponse) {
  open_command_response();
  EXPECT_EQ(echo(0), 0u);
  EXPECT_EQ(received, 0);
  ASSERT_FALSE(server.received().empty());
  EXPECT_TRUE(server.received().back().data.empty());
}

// The link polls its driver in steps of a few milliseconds and less. On Windows a plain Sleep would
// last a scheduler tick instead: every sleep of an exchange goes through a high-resolution
// waitable timer, or, where the system has none, runs while the timer resolution is raised, and
// the resolution is restored when the exchange ends.
TEST_F(UartSerialLink, PollsSleepShortOnEverySystem) {
  open_command_response();
  for (const bool timers_refused : {false, true}) {
    platform::refuse_waitable_timers(timers_refused);
    const platform::SleepCounts before = platform::sleep_counts();
    for (int round = 0; round < 5; ++round) {
      // The unit answers a little late, so that the link's polls sleep however the threads run.
      server.queue_fault({Kind::delay, 20});
      ASSERT_EQ(send(40, 64), 0u);
      EXPECT_TRUE(echoed());
    }
    const platform::SleepCounts after = platform::sleep_counts();
    EXPECT_EQ(after.tick, before.tick) << "a sleep at the default timer resolution";
    EXPECT_EQ(after.raised_now, 0) << "the timer resolution is restored after each exchange";
    if (!platform::modules_are_dlls()) {
      EXPECT_GT(after.exact, before.exact);
    } else if (timers_refused) {
      EXPECT_GT(after.raised_resolution, before.raised_resolution);
    } else {
      EXPECT_GT(after.waitable_timer, before.waitable_timer);
    }
  }
  platform::refuse_waitable_timers(false);
}

// Polling a driver for a unit that never answers costs little: the 2 s wait is mostly sleeps. The
// polls run on the host's thread; the unit's threads, and under Wine the emulator's, are not counted.
TEST_F(UartSerialLink, WaitingForASilentUnitCostsLittleCpu) {
  open_command_response();
  server.queue_fault({Kind::silence, 0});
  const double cpu = test::thread_cpu_seconds();
  EXPECT_EQ(echo(40), STATUS_CR_SERIAL_TRANSFER_FAILED);
  EXPECT_LT(test::thread_cpu_seconds() - cpu, 0.1) << "no busy waiting";
}

TEST_F(UartSerialLink, PortWordsAndDivisorReachTheDriver) {
  struct Case {
    uint32_t selection;
    uint16_t baud_code;
    std::vector<std::string> calls;
    uint32_t status;
  } cases[] = {
      {EFI_FLAG_SERIAL_FIRST_PORT, 10, {"OpenPort 0 3f8 4 0 0 0 0", "SetPortCharacteristics 0 10 0 3 0 4"}, 0},
      {0, 10, {"OpenPort 0 2f8 3 0 0 0 0"}, 0},
      {EFI_FLAG_PCI_CARD | EFI_FLAG_SERIAL_FIRST_PORT, 10,
       {"OpenPort 0 1415 9501 1 0 1000 0", "SetBaudDiv 10 20", "SetPortCharacteristics 0 10 0 3 0 4"}, 0},
      {EFI_FLAG_PCI_CARD, 9, {"OpenPort 0 1415 9501 1 2 1000 0", "SetBaudDiv 9 30"}, 0},
      {EFI_FLAG_PCI_CARD, 4, {"SetBaudDiv 4 960"}, 0},
      {EFI_FLAG_PCI_CARD, 12, {}, 1},
  };
  for (const Case& c : cases) {
    fresh_library();
    process().ports.command_response_port.baudCode = c.baud_code;
    EXPECT_EQ(initialize_port(c.selection), c.status);
    const std::vector<std::string> calls = driver.calls();
    for (const std::string& call : c.calls) EXPECT_TRUE(contains(calls, call)) << call;
    const bool divisor_set = std::any_of(calls.begin(), calls.end(), [](auto& l) { return l.rfind("SetBaudDiv", 0) == 0; });
    EXPECT_EQ(divisor_set, bool(c.selection & EFI_FLAG_PCI_CARD) && c.baud_code != 12);
    close_interfaces(EFI_CLOSE_ALL_PORTS);
  }
}

TEST_F(UartSerialLink, MetricsDumpShowsThirtyOneLinesEvenWhenSuppressed) {
  enable_error_messages(0);
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  ASSERT_EQ(log.messages.size(), 2u) << "after the settings and after the flush";
  for (const test::MessageLog::Message& message : log.messages) {
    EXPECT_EQ(message.title, "SerialDebugMetricsDump");
    EXPECT_EQ(std::count(message.text.begin(), message.text.end(), '\n'), 31);
    EXPECT_EQ(message.text.rfind("my_port_params.VTotalIn       = 00000000\n", 0), 0u) << message.text;
    EXPECT_NE(message.text.find("my_port_params.VBase          = 000003f8\n"), std::string::npos);
    EXPECT_NE(message.text.find("my_port_params.VCurOverrunCnt = 00000000\n"), std::string::npos);
  }
  EXPECT_NE(log.messages[1].text.find("my_port_params.VIFlushCnt     = 00000001\n"), std::string::npos);
}

TEST_F(UartSerialLink, EveryFailingDriverCallFailsInitialisation) {
  struct Case {
    const char* function;
    uint32_t selection;
    const char* message;
  } cases[] = {
      {"Init", EFI_FLAG_SERIAL_FIRST_PORT, "  SerialReadThread WCSCVxDInit failed WCSC_status = 00000063"},
      {"OpenPort", EFI_FLAG_SERIAL_FIRST_PORT,
       "  SerialInitializeComport WCSCVxDOpenPort failed WCSC_status = p_comport->VxDPId = ffffff9d"},
      {"SetBaudDiv", EFI_FLAG_PCI_CARD, "  SerialInitializeComport WCSCVxDSetBaudDiv failed WCSC_status = 00000063"},
      {"SetPortCharacteristics", EFI_FLAG_SERIAL_FIRST_PORT,
       "  SerialReadThread WCSCVxDSetPortCharacteristics failed WCSC_status = 00000063"},
      {"Flush", EFI_FLAG_SERIAL_FIRST_PORT, "  SerialReadThread WCSCVxDFlush failed WCSC_status = 00000063"},
  };
  for (const Case& c : cases) {
    fresh_library();
    driver.fail_next(c.function, std::string(c.function) == "OpenPort" ? -99 : 99);
    EXPECT_EQ(initialize_port(c.selection), 1u) << c.function;
    const std::vector<std::string> texts = log.texts();
    EXPECT_TRUE(contains(texts, c.message)) << c.function;
    EXPECT_EQ(texts.back().rfind("  SerialInitializeInterfaces SerialInitializeComport CR failed WCSC_status = ", 0), 0u);
    EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED) << "nothing is sent on a port that did not open";
    log.messages.clear();
    close_interfaces(EFI_CLOSE_ALL_PORTS);
  }
  // A failed statistics read is shown, and the port still opens.
  fresh_library();
  driver.fail_next("GetPort", 5);
  EXPECT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  EXPECT_EQ(log.messages.front().title, "ERROR!");
  EXPECT_EQ(log.messages.front().text, "SerialDebugMetricsDump WCSCVxDGetPort failed WCSC_status = 00000005");
}

TEST_F(UartSerialLink, CloseBitsReleaseTheirPorts) {
  // Bit 2 alone releases ports 0, 1 and 2 whatever their state, without a message.
  EXPECT_EQ(close_interfaces(EFI_CLOSE_ALL_PORTS), 1u) << "no link was ever installed";
  ASSERT_EQ(initialize_interfaces(LEGACY_3F8, nullptr), 0u) << "no interface bit: nothing opened";
  driver.calls();
  log.messages.clear();
  EXPECT_EQ(close_interfaces(EFI_CLOSE_ALL_PORTS), 0u);
  EXPECT_EQ(driver.calls(), (std::vector<std::string>{"Cleanup 0", "Cleanup 1", "Cleanup 2"}));
  EXPECT_TRUE(log.messages.empty());
  EXPECT_EQ(close_interfaces(EFI_CLOSE_ALL_PORTS), 0u);
  EXPECT_TRUE(driver.calls().empty()) << "a port is cleaned up once after it was opened";

  EXPECT_EQ(close_interfaces(EFI_CLOSE_STREAM_PORT | EFI_CLOSE_COMMAND_RESPONSE_PORT), 0u);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"SerialCloseInterfaces STREAM_INTERFACE NOT initialized",
                                                   "SerialCloseInterfaces COMMAND_RESPONSE_INTERFACE NOT initialized"}));

  open_command_response();
  driver.calls();
  driver.fail_next("Cleanup", 3);
  EXPECT_EQ(close_interfaces(EFI_CLOSE_COMMAND_RESPONSE_PORT), 1u);
  EXPECT_EQ(driver.calls(), (std::vector<std::string>{"Cleanup 0"}));
  EXPECT_EQ(log.texts().back(), "  SerialReadThread WCSCVxDCleanup failed WCSC_status = 00000003");
  EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED);
  // Both interfaces on their own ports; the stream port is the PCI card's first channel.
  softunit::SerialServer stream_unit(softunit::echo_responder());
  softunit::set_environment("CDRVXD32_PORT_PCI0", stream_unit.device_path().c_str());
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE | EFI_FLAG_STREAM_INTERFACE, nullptr), 0u);
  EXPECT_TRUE(contains(driver.calls(), "OpenPort 0 1415 9501 1 0 1000 0"));
}

TEST_F(UartSerialLink, LockedBufferFailuresSendNothing) {
  // The response data buffer cannot be set up: the interface opens, its exchanges send nothing.
  platform::inject_fault(platform::FaultPoint::page_allocate, 3, 1, 8);
  ASSERT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
  EXPECT_TRUE(contains(log.texts(), "SerialTransferDataToLockedBuffers VirtualAlloc pLocked_response_data failed "
                                    "GetLastError = 00000008"));
  const size_t before = server.received_count();
  EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED);
  close_interfaces(EFI_CLOSE_ALL_PORTS);

  // The acknowledge byte cannot be locked: nothing is sent and the host keeps its buffers.
  open_command_response();
  platform::inject_fault(platform::FaultPoint::page_lock, 0, 1, 5);
  EXPECT_EQ(echo(4), STATUS_CR_LOCKED_BUFFER_FAILED);
  EXPECT_EQ(log.texts().front(), "SerialSendCommandReceiveResponse VirtualLock ack failed GetLastError = 00000005");
  EXPECT_EQ(server.received_count(), before);
  EXPECT_EQ(echo(4), 0u);
  EXPECT_TRUE(echoed());
}

TEST_F(UartSerialLink, DriverLibraryThatDoesNotLoadFailsInitialisation) {
  ASSERT_EQ(set_adapter_library(EFI_FLAG_UART_SERIAL, "no-such-driver-library"), 0u);
  EXPECT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 1u);
  ASSERT_FALSE(log.texts().empty());
  EXPECT_EQ(log.texts().back().rfind("SerialInitializeInterfaces LoadLibrary no-such-driver-library failed", 0), 0u);
  ASSERT_EQ(set_adapter_library(EFI_FLAG_UART_SERIAL, test::uart_driver_file().c_str()), 0u);
  EXPECT_EQ(initialize_interfaces(COMMAND_RESPONSE, nullptr), 0u);
}

// Unloaded while the host lives on, the library releases what the host left open, and nothing
// the host released already.
TEST_F(UartSerialLink, UnloadReleasesThePortsTheHostLeftOpenOnce) {
  for (const bool host_closed : {false, true}) {
    test::HostLibrary library;
    ASSERT_EQ(host_exchange(library), 0u);
    if (host_closed) {
      EXPECT_EQ(library.close(EFI_CLOSE_ALL_PORTS), 0u);
    }
    driver.calls();
    EXPECT_TRUE(library.unload());
    const std::vector<std::string> left_open = {"Cleanup 0", "Cleanup 1", "Cleanup 2"};
    EXPECT_EQ(driver.calls(), host_closed ? std::vector<std::string>() : left_open);
  }
}

test::HostLibrary* exiting_host = nullptr;
using DriverCall = int32_t(EFI_ADAPTER_CALL*)();
using DriverCleanup = int32_t(EFI_ADAPTER_CALL*)(int32_t);
DriverCleanup late_cleanup = nullptr;

void* driver_function(const platform::Module& module, const char* name, uint16_t ordinal) {
  return platform::modules_are_dlls() ? platform::find_symbol_by_ordinal(module, ordinal)
                                      : platform::find_symbol(module, name);
}

// A host that ends with the library loaded, its link open or closed: by the time the library
// unloads, the driver it loaded has torn down its own statics, so the library calls nothing of
// it. The stand-in driver for its part answers calls that come after its statics are gone.
TEST(UartSerialLinkAtExit, ProcessEndsNormallyWhateverTheLibraryAndDriverLeft) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  softunit::SerialServer server(softunit::echo_responder());
  if (const std::string reason = server.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
  test::map_uart_ports(server.device_path());
  for (const bool host_closed : {false, true}) {
    EXPECT_EXIT(
        {
          exiting_host = new test::HostLibrary;
          const uint32_t status = host_exchange(*exiting_host);
          if (host_closed) exiting_host->close(EFI_CLOSE_ALL_PORTS);
          std::exit(status == 0 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "")
        << (host_closed ? "closed by the host" : "left open");
  }
  EXPECT_EXIT(
      {
        auto* module = new platform::Module(platform::load_module(test::uart_driver_file().c_str()));
        late_cleanup = reinterpret_cast<DriverCleanup>(driver_function(*module, "WCSCVxDCleanup", 4));
        const auto init = reinterpret_cast<DriverCall>(driver_function(*module, "WCSCVxDInit", 11));
        if (!late_cleanup || !init) std::exit(3);
        // Registered before the driver's statics exist, so it runs after they are gone.
        std::atexit([] {
          if (late_cleanup(0) != 0 || late_cleanup(0) != 0) std::_Exit(4);
        });
        // Enough calls that the driver's record of them needs memory of its own.
        int32_t status = 0;
        for (int call = 0; call < 8; ++call) status |= init();
        std::exit(status == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace efi
