// Flag-word decoding, port records and the entries of the transport table, against recording
// stand-ins for every link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_link.h"

namespace efi {
namespace {

class TransportSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    on_library_load();
    trace.clear();
    process().registry = {&uart, &com, &usb, &usb_can, &pcan, &bluetooth, &ethernet, &simulator, nullptr};
  }
  void TearDown() override { on_library_load(); }

  // Initialises with `flags` and tells what the links were asked for.
  std::string initialise(uint32_t flags) {
    trace.clear();
    initialize_interfaces(flags, nullptr);
    return trace;
  }
  const SerialPortRecord& command_response_port() { return process().ports.command_response_port; }

  std::string trace;
  test::RecordingLink uart{"uart", &trace}, com{"com", &trace}, usb{"usb", &trace}, usb_can{"usbcan", &trace},
      pcan{"pcan", &trace}, bluetooth{"bluetooth", &trace}, ethernet{"ethernet", &trace},
      simulator{"simulator", &trace};
};

TEST_F(TransportSelection, PrecedenceRunsFromSimulatorDownToComPort) {
  const struct {
    uint32_t bits;
    const char* name;
  } order[] = {{0x200, "simulator"}, {0x400000, "ethernet"}, {0x100000, "bluetooth"}, {0x200000, "pcan"},
               {0x100, "usbcan"},    {0x20, "usb"},          {0x2000, "uart"},         {0x1000, "com"}};
  // With every selecting bit set the highest wins; clearing the winner hands it to the next one.
  uint32_t flags = 0x10000;
  for (const auto& entry : order) flags |= entry.bits;
  for (const auto& entry : order) {
    SetUp();
    const std::string called = initialise(flags);
    EXPECT_EQ(called.substr(0, called.find('.')), entry.name) << std::hex << flags;
    flags &= ~entry.bits;
  }
}

// Bit 31 turns conversion off and each call rewrites it; the simulator always runs without. A
// call that selects nothing initialises the previous link again with the new flags.
TEST_F(TransportSelection, EachCallSetsConversionAndPassesItsFlags) {
  const struct {
    uint32_t flags;
    const char* trace;
    uint8_t no_conversion;
  } calls[] = {
      {0x80000020, "usb.initialize(80000020),", 1}, {0x20, "usb.initialize(20),", 0},
      {0x80000000, "usb.initialize(80000000),", 1}, {0x220, "simulator.initialize(80000220),", 1},
  };
  for (const auto& c : calls) {
    EXPECT_EQ(initialise(c.flags), c.trace);
    EXPECT_EQ(process().no_conversion, c.no_conversion) << c.trace;
  }
  EXPECT_EQ(process().table.playback, &simulator);
}

TEST_F(TransportSelection, SerialLinksNeedAPortNumberAndNothingEverSelectedReturnsOne) {
  EXPECT_EQ(initialize_interfaces(0, "x"), 1u);
  EXPECT_EQ(initialize_interfaces(0x2000, nullptr), 1u);
  EXPECT_EQ(initialise(0x1000), "");
  EXPECT_EQ(initialise(0x10000), "") << "a port number with neither serial bit";
  EXPECT_EQ(initialise(0x12000), "uart.initialize(12000),");
  EXPECT_EQ(initialise(0x13000), "uart.initialize(13000),");
  EXPECT_EQ(initialise(0x31008), "com.initialize(31008),");
}

TEST_F(TransportSelection, AppendPlaybackEntryBelongsToTheSimulatorCallOnly) {
  initialise(0x200);
  EXPECT_EQ(append_playback("abc", 3), 0u);
  EXPECT_EQ(trace, "simulator.initialize(80000200),simulator.append(3),");
  initialise(0x20);
  EXPECT_EQ(append_playback("abc", 3), 1u);
  // A call that selects nothing leaves the simulator's other entries but not its append entry.
  initialise(0x200);
  EXPECT_EQ(initialise(0), "simulator.initialize(0),");
  EXPECT_EQ(append_playback("abc", 3), 1u);
}

TEST_F(TransportSelection, CloseAndConnectReachTheSelectedLinkOnly) {
  initialise(0x400000);
  EXPECT_EQ(initialise(0x100), "usbcan.initialize(100),") << "selecting another link closes nothing";
  trace.clear();
  EXPECT_EQ(close_interfaces(0x2), 0u);
  EXPECT_EQ(connect_command_response_interface(), 0u);
  EXPECT_EQ(close_interfaces(0x4), 0u) << "a close does not clear the table";
  EXPECT_EQ(trace, "usbcan.close(2),usbcan.connect(0),usbcan.close(4),");
}

TEST_F(TransportSelection, UnloadClosesAllPortsOfTheInstalledLink) {
  on_library_unload();
  EXPECT_EQ(trace, "");
  SetUp();
  initialise(0x100000);
  trace.clear();
  on_library_unload();
  EXPECT_EQ(trace, "bluetooth.close(4),") << "all ports";
}

TEST_F(TransportSelection, MissingLinksSelectNothing) {
  process().registry.usb = nullptr;
  EXPECT_EQ(initialize_interfaces(0x20, nullptr), 1u);
  EXPECT_EQ(process().table.installed, nullptr);
  // A missing higher link leaves the lower one in place.
  EXPECT_EQ(initialise(0x120), "usbcan.initialize(120),");
}

using Words = std::vector<uint16_t>;
Words words_of(const SerialPortRecord& r) {
  return {r.port, r.channel, r.cardType, r.cardParameter, r.base, r.irq,
          r.baudCode, r.parityCode, r.lengthCode, r.stopCode, r.protocolCode};
}

// The stream port keeps its load-time words; a port number writes the command-response port's.
TEST_F(TransportSelection, PortNumberWritesTheCommandResponsePortWords) {
  const Words stream{0, 0, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4};
  EXPECT_EQ(words_of(command_response_port()), (Words{0, 0, 0, 0, 0, 0, 10, 0, 3, 0, 4}));
  EXPECT_TRUE(process().ports.stream_port.name.empty());
  EXPECT_TRUE(command_response_port().name.empty());
  const struct {
    uint32_t flags;
    Words expected;
  } cases[] = {
      {0x10008, {0, 2, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}},
      {0x10088, {0, 0, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}},
      {0x10080, {0, 0, 0, 0, 0x03F8, 4, 10, 0, 3, 0, 4}},
      {0x12000, {0, 0, 0, 0, 0x02F8, 3, 10, 0, 3, 0, 4}},
      {0x10000, {0, 0, 0, 0, 0x02F8, 3, 10, 0, 3, 0, 4}},
      {0x31008, {0, 2, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}},
  };
  for (const auto& c : cases) {
    SetUp();
    initialize_interfaces(c.flags, nullptr);
    EXPECT_EQ(words_of(command_response_port()), c.expected) << std::hex << c.flags;
    EXPECT_EQ(words_of(process().ports.stream_port), stream);
  }
}

TEST_F(TransportSelection, PortWordsStayWithoutAPortNumberAndTheNameIsComZeroOnEveryCall) {
  initialize_interfaces(0x10080, nullptr);
  initialize_interfaces(0x88, nullptr);
  EXPECT_EQ(command_response_port().base, 0x03F8);
  EXPECT_EQ(command_response_port().name, L"COM0");
  process().ports.command_response_port.name = L"COM9";
  initialize_interfaces(0, nullptr);
  EXPECT_EQ(command_response_port().name, L"COM0");
}

}  // namespace
}  // namespace efi
