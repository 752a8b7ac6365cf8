// The serial-line CAN link end to end: exports → link → serial line (a pseudo-terminal entered as
// a COM port; under Wine a socat pair entered in the prefix's dosdevices) → the software's
// serial-line adapter → virtual CAN bus → the software unit, and back.
#include <gtest/gtest.h>

#include <chrono>

#include "../serial/serial_fixture.h"
#include "all_commands.h"
#include "slcan_adapter.h"
#include "transports/can/slcan_link.h"

namespace efi {
namespace {

using softunit::Bytes;
constexpr unsigned PORT_NUMBER = 12;

std::string port_name(unsigned number) { return "COM" + std::to_string(number); }

class SlcanLinkTest : public test::LinkTest {
 protected:
  void SetUp() override {
    if (const std::string reason = adapter.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
    if (const std::string& reason = mapping.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
    LinkTest::SetUp();
  }
  void TearDown() override {
    softunit::set_environment("EFILINK_CAN_ADAPTER", nullptr);
    LinkTest::TearDown();
  }
  // Under Wine socat joins a new pair of terminals a moment after it starts: what is written
  // before that is lost, so the first opening may go unanswered.
  uint32_t initialize(uint32_t flags = EFI_FLAG_SLCAN, const std::string& text = port_name(PORT_NUMBER)) {
    return test::retry_open([&] { return initialize_interfaces(flags, text.c_str()); });
  }
  std::vector<std::string> opening() const { return {"C", "S6", "O"}; }

  softunit::CanServer server{softunit::echo_responder()};
  softunit::SlcanAdapter adapter{server.port()};
  test::ComPortMapping mapping{PORT_NUMBER, adapter.device_path()};
};

TEST_F(SlcanLinkTest, EveryCommandRoundTripsWithConversion) {
  softunit::CanServer unit(softunit::unit_responder());
  softunit::SlcanAdapter unit_adapter(unit.port());
  test::ComPortMapping unit_mapping(PORT_NUMBER + 1, unit_adapter.device_path());
  ASSERT_EQ(initialize(EFI_FLAG_SLCAN, port_name(PORT_NUMBER + 1) + ":115200"), 0u);
  EXPECT_STREQ(process().table.installed->name(), "slcan");
  test::expect_every_command_round_trips(unit);
}

TEST_F(SlcanLinkTest, OpensTheChannelAt500kbitAndClosesIt) {
  EXPECT_EQ(initialize_interfaces(EFI_FLAG_SLCAN, nullptr), STATUS_CR_NOT_CONNECTED) << "no port named";
  ASSERT_EQ(log.messages.size(), 1u);
  log.messages.clear();
  ASSERT_EQ(initialize(), 0u);
  EXPECT_EQ(adapter.commands(), opening());
  EXPECT_EQ(adapter.bit_rate(), '6');
  EXPECT_TRUE(adapter.channel_open());
  EXPECT_EQ(initialize(), 0u);
  EXPECT_EQ(adapter.commands().size(), 3u) << "initialising twice opens nothing again";
  expect_healthy_exchange("opening");
  EXPECT_EQ(close_interfaces(0), 0u);
  EXPECT_EQ(adapter.commands().back(), "C");
  EXPECT_FALSE(adapter.channel_open());
  EXPECT_EQ(close_interfaces(0), 0u);
  EXPECT_EQ(adapter.commands().size(), 4u) << "closing twice sends one C";
  EXPECT_EQ(send(4), 0u) << "a closed link sends nothing";
  EXPECT_EQ(received, 0xBEEF);
  ASSERT_EQ(initialize(), 0u);
  expect_healthy_exchange("initialising after a close");
  EXPECT_TRUE(log.messages.empty());
}

TEST_F(SlcanLinkTest, LongestCommandsAndAnswers) {
  ASSERT_EQ(initialize(), 0u);
  const uint16_t longest = SlcanLink::LENGTH_LIMIT - 8;
  ASSERT_EQ(send(longest, TS_MAX_TRANSFERSTRUCTS_SIZE), 0u);
  EXPECT_TRUE(echoed());
  EXPECT_EQ(adapter.frames_sent(), CanFrameCount(SlcanLink::LENGTH_LIMIT) + 1u) << "and one flow control";
  enable_error_messages(0);
  EXPECT_EQ(send(longest + 1, TS_MAX_TRANSFERSTRUCTS_SIZE), STATUS_CR_COMMAND_TOO_LARGE);
  for (const auto& flow : server.host_flow_controls()) EXPECT_EQ(flow[0] << 16 | flow[1] << 8 | flow[2], 0x3000CD);
}

// Each of the three opening commands refused, then none answered at all: the initialisation fails
// as a CAN adapter that cannot start does, and the port is free again for the next one.
TEST_F(SlcanLinkTest, RefusedOrUnansweredOpeningFailsAndLetsThePortGo) {
  for (char letter : {'C', 'S', 'O'}) {
    adapter.refuse_commands(letter);
    EXPECT_EQ(initialize_interfaces(EFI_FLAG_SLCAN, port_name(PORT_NUMBER).c_str()), STATUS_CR_NOT_CONNECTED)
        << letter;
    ASSERT_FALSE(log.messages.empty());
    EXPECT_NE(log.messages.back().text.find("SlcanInitializeInterfaces"), std::string::npos);
    EXPECT_EQ(adapter.commands().back()[0], letter) << "nothing sent after the refusal";
    EXPECT_EQ(send(4), 0u) << "not ready: nothing sent";
    EXPECT_EQ(received, 0xBEEF);
  }
  adapter.refuse_commands(0);
  adapter.set_silent(true);
  const double start = test::seconds_now();
  EXPECT_EQ(initialize_interfaces(EFI_FLAG_SLCAN, port_name(PORT_NUMBER).c_str()), STATUS_CR_NOT_CONNECTED);
  const double waited = test::seconds_now() - start;
  EXPECT_GE(waited, 0.95);
  EXPECT_LT(waited, 2.0);
  adapter.set_silent(false);
  // The port opens again only when the failed initialisations closed it (it is opened exclusively).
  ASSERT_EQ(initialize(), 0u);
  expect_healthy_exchange("refused openings");
}

// A BEL for the k-th frame the host sends (k = 0: the first frame, 1 to 6: the consecutive frames
// of a 40-byte command, 7: the host's flow control for the answer) fails that exchange with the
// write status, and the next exchange gets its own answer.
TEST_F(SlcanLinkTest, RefusedFrameFailsTheExchangeWhicheverFrameItIs) {
  ASSERT_EQ(initialize(), 0u);
  enable_error_messages(0);
  for (int k = 0; k <= 7; ++k) {
    adapter.refuse_frame(k);
    EXPECT_EQ(send(40, 100), LINK_FAILED) << "frame " << k;
    EXPECT_EQ(received, 0xBEEF) << "frame " << k;
    adapter.refuse_frame(-1);
    std::string after = "refused frame ";
    expect_healthy_exchange(after.append(std::to_string(k)));
  }
}

TEST_F(SlcanLinkTest, PoorAdapterThenHealthyExchange) {
  ASSERT_EQ(initialize(), 0u);
  enable_error_messages(0);
  struct Quirk {
    const char* name;
    void (softunit::SlcanAdapter::*set)(bool);
  } quirks[] = {{"noise and foreign frames between lines", &softunit::SlcanAdapter::set_noise},
                {"lines a byte at a time", &softunit::SlcanAdapter::set_drip},
                {"CR alone for a frame sent", &softunit::SlcanAdapter::set_bare_acknowledgements}};
  for (const Quirk& quirk : quirks) {
    (adapter.*quirk.set)(true);
    ASSERT_EQ(send(40, 100), 0u) << quirk.name;
    EXPECT_TRUE(echoed()) << quirk.name;
    (adapter.*quirk.set)(false);
    expect_healthy_exchange(quirk.name);
  }
  adapter.set_silent(true);
  EXPECT_EQ(send(40, 100), STATUS_CR_READ_FAILED) << "a silent adapter";
  adapter.set_silent(false);
  expect_healthy_exchange("a silent adapter");
  // A hostile unit behind the adapter meets the exchange routine all CAN links share, tested with
  // its faults through the other two adapters.
}

// The 5 s wait for a response's first frame, spent waiting on the serial line.
TEST_F(SlcanLinkTest, WaitingForASilentUnitIsBoundedAndCostsNoCpu) {
  ASSERT_EQ(initialize(), 0u);
  expect_silence_waited_out_idly(server, 4.9, 6.5);
}

TEST_F(SlcanLinkTest, EnvironmentTurnsThePcanAndUsbCanBitsToTheAdapter) {
  for (uint32_t flag : {EFI_FLAG_PCAN, EFI_FLAG_USB_CAN}) {
    fresh_library();
    softunit::set_environment("EFILINK_CAN_ADAPTER", ("slcan:" + port_name(PORT_NUMBER)).c_str());
    ASSERT_EQ(initialize(flag, "ignored"), 0u) << flag;
    EXPECT_STREQ(process().table.installed->name(), "slcan") << flag;
    expect_healthy_exchange("selection by the environment");
    EXPECT_EQ(close_interfaces(0), 0u);
    // Without the variable, or with one naming no serial-line adapter, the vendor library's link.
    for (const char* value : {static_cast<const char*>(nullptr), "pcan", "slcan"}) {
      fresh_library();
      enable_error_messages(0);
      softunit::set_environment("EFILINK_CAN_ADAPTER", value);
      set_adapter_library(flag, "no_such_adapter_library");
      initialize_interfaces(flag, nullptr);
      EXPECT_STREQ(process().table.installed->name(), flag == EFI_FLAG_PCAN ? "pcan" : "usbcan")
          << (value ? value : "unset");
      close_interfaces(0);
    }
  }
  // The extension bit wins over both vendor bits.
  fresh_library();
  softunit::set_environment("EFILINK_CAN_ADAPTER", nullptr);
  ASSERT_EQ(initialize(EFI_FLAG_SLCAN | EFI_FLAG_PCAN | EFI_FLAG_USB_CAN), 0u);
  EXPECT_STREQ(process().table.installed->name(), "slcan");
}

TEST_F(SlcanLinkTest, TraceNamesTheInterfaceAndLog2ascReadsIt) {
  const std::string trace = test::temp_path("slcan.log");
  const test::RemovedAtEnd removed{{trace, candump_path(trace), trace + ".asc"}};
  ASSERT_EQ(initialize(), 0u);
  ASSERT_EQ(set_trace_file(trace.c_str()), 0u);
  expect_healthy_exchange("tracing");
  ASSERT_EQ(set_trace_file(nullptr), 0u);
  const std::vector<std::string> lines = test::file_lines(candump_path(trace));
  // 7 command frames and the unit's flow control, the answer's 7 frames and the host's flow control.
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_NE(lines[0].find(") slcan 16666666#1030CD07"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(") slcan 16666667#30"), std::string::npos) << lines[1];

  if (platform::modules_are_dlls()) GTEST_SKIP() << "log2asc is run natively only, not under wine";
  if (std::system("command -v log2asc >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "can-utils' log2asc is not installed (scripts/setup installs it)";
  std::string output;
  ASSERT_EQ(test::run_shell("log2asc -I \"" + candump_path(trace) + "\" -O \"" + trace + ".asc\" slcan 2>&1", output), 0)
      << output;
  const std::string text = test::file_text(trace + ".asc");
  EXPECT_NE(text.find("16666666x"), std::string::npos) << text;
  EXPECT_NE(text.find("16666667x"), std::string::npos) << text;
}

TEST(SlcanPort, NameAndBaudRate) {
  const struct {
    const char* text;
    const char* name;  // null: refused
    uint32_t baud_rate;
  } cases[] = {{"COM7", "COM7", 115200},           {"COM7:921600", "COM7", 921600},
               {"\\\\.\\COM12", "\\\\.\\COM12", 115200}, {"Z:\\tmp\\line", "Z:\\tmp\\line", 115200},
               {"/dev/ttyACM0:57600", "/dev/ttyACM0", 57600}, {"", nullptr, 0}, {":115200", nullptr, 0},
               {"COM7:0", nullptr, 0}};
  for (const auto& c : cases) {
    SlcanPort port;
    ASSERT_EQ(parse_slcan_port(c.text, port), c.name != nullptr) << c.text;
    if (!c.name) continue;
    EXPECT_EQ(port.name, c.name);
    EXPECT_EQ(port.baud_rate, c.baud_rate) << c.text;
  }
}

}  // namespace
}  // namespace efi
