// Flag-word decoding, port records and the entries of the transport table, against recording
// stand-ins for every link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_link.h"

namespace efi {
namespace {

std::vector<test::RecordingLink::Call> calls;

class TransportSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    on_library_load();
    calls.clear();
    process().registry = {&uart, &com, &usb, &usb_can, &pcan, &bluetooth, &ethernet, &simulator, nullptr};
  }
  void TearDown() override { on_library_load(); }

  // Initialises with `flags` and names the link whose initialise operation ran ("" for none).
  std::string selected_by(uint32_t flags) {
    calls.clear();
    initialize_interfaces(flags, nullptr);
    return calls.empty() ? "" : calls.back().link;
  }
  const SerialPortRecord& command_response_port() { return process().ports.command_response_port; }

  test::RecordingLink uart{"uart", &calls}, com{"com", &calls}, usb{"usb", &calls}, usb_can{"usbcan", &calls},
      pcan{"pcan", &calls}, bluetooth{"bluetooth", &calls}, ethernet{"ethernet", &calls},
      simulator{"simulator", &calls};
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
    EXPECT_EQ(selected_by(flags), entry.name) << std::hex << flags;
    flags &= ~entry.bits;
  }
}

TEST_F(TransportSelection, UsbAndSimulatorSelectSimulatorWithoutConversion) {
  initialize_interfaces(0x220, "x");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].link, "simulator");
  EXPECT_EQ(calls[0].argument, 0x80000220u);
  EXPECT_EQ(process().no_conversion, 1);
  EXPECT_EQ(process().table.playback, &simulator);
}

TEST_F(TransportSelection, BitThirtyOneTurnsConversionOffAndEachCallRewritesIt) {
  EXPECT_EQ(selected_by(0x80000020), "usb");
  EXPECT_EQ(calls[0].argument, 0x80000020u);
  EXPECT_EQ(process().no_conversion, 1);
  EXPECT_EQ(selected_by(0x20), "usb");
  EXPECT_EQ(process().no_conversion, 0);
}

TEST_F(TransportSelection, SerialLinksNeedAPortNumber) {
  EXPECT_EQ(selected_by(0x2000), "");
  EXPECT_EQ(selected_by(0x1000), "");
  EXPECT_EQ(selected_by(0x12000), "uart");
  EXPECT_EQ(selected_by(0x13000), "uart");
  EXPECT_EQ(selected_by(0x31008), "com");
  // A port number with neither serial bit selects nothing but still writes the port words.
  SetUp();
  EXPECT_EQ(selected_by(0x10000), "");
  EXPECT_EQ(command_response_port().base, 0x02F8);
}

TEST_F(TransportSelection, NothingSelectedAndNothingEverSelectedReturnsOne) {
  EXPECT_EQ(initialize_interfaces(0, "x"), 1u);
  EXPECT_EQ(initialize_interfaces(0x2000, nullptr), 1u);
  EXPECT_TRUE(calls.empty());
}

TEST_F(TransportSelection, NoSelectionInitialisesThePreviousLinkAgainWithTheNewFlags) {
  selected_by(0x20);
  EXPECT_EQ(selected_by(0x80000000), "usb");
  EXPECT_EQ(calls[0].argument, 0x80000000u);
  EXPECT_EQ(process().no_conversion, 1);
}

TEST_F(TransportSelection, SelectingAnotherLinkDoesNotCloseTheFirst) {
  selected_by(0x20);
  selected_by(0x400000);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "initialize");
}

TEST_F(TransportSelection, AppendPlaybackEntryBelongsToTheSimulatorCallOnly) {
  initialize_interfaces(0x200, "x");
  EXPECT_EQ(append_playback("abc", 3), 0u);
  EXPECT_EQ(calls.back().operation, "append");
  EXPECT_EQ(calls.back().argument, 3u);
  initialize_interfaces(0x20, nullptr);
  EXPECT_EQ(append_playback("abc", 3), 1u);
  // A call that selects nothing leaves the simulator's other entries but not its append entry.
  initialize_interfaces(0x200, "x");
  initialize_interfaces(0, "x");
  EXPECT_EQ(calls.back().link, "simulator");
  EXPECT_EQ(append_playback("abc", 3), 1u);
}

TEST_F(TransportSelection, ExportsWithoutTheirEntryReturnOne) {
  EXPECT_EQ(close_interfaces(EFI_CLOSE_ALL_PORTS), 1u);
  EXPECT_EQ(connect_command_response_interface(), 1u);
  EXPECT_EQ(append_playback(nullptr, 0), 1u);
  EXPECT_EQ(update_runtime_options(), 0u);
  EXPECT_TRUE(calls.empty());
}

TEST_F(TransportSelection, CloseAndConnectReachTheSelectedLink) {
  selected_by(0x100);
  calls.clear();
  EXPECT_EQ(close_interfaces(0x2), 0u);
  EXPECT_EQ(connect_command_response_interface(), 0u);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].link + "." + calls[0].operation, "usbcan.close");
  EXPECT_EQ(calls[0].argument, 0x2u);
  EXPECT_EQ(calls[1].link + "." + calls[1].operation, "usbcan.connect");
  // The table is not cleared by a close.
  EXPECT_EQ(close_interfaces(0x4), 0u);
}

TEST_F(TransportSelection, UnloadClosesAllPortsOfTheInstalledLink) {
  on_library_unload();
  EXPECT_TRUE(calls.empty());
  SetUp();
  selected_by(0x100000);
  calls.clear();
  on_library_unload();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "close");
  EXPECT_EQ(calls[0].argument, EFI_CLOSE_ALL_PORTS);
}

TEST_F(TransportSelection, MissingLinksSelectNothing) {
  process().registry.usb = nullptr;
  EXPECT_EQ(initialize_interfaces(0x20, nullptr), 1u);
  EXPECT_EQ(process().table.installed, nullptr);
  // A missing higher link leaves the lower one in place.
  EXPECT_EQ(selected_by(0x120), "usbcan");
}

using Words = std::vector<uint16_t>;
Words words_of(const SerialPortRecord& r) {
  return {r.port, r.channel, r.cardType, r.cardParameter, r.base, r.irq,
          r.baudCode, r.parityCode, r.lengthCode, r.stopCode, r.protocolCode};
}

TEST_F(TransportSelection, PortRecordsHoldTheirLoadTimeValues) {
  EXPECT_EQ(words_of(process().ports.stream_port), (Words{0, 0, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}));
  EXPECT_EQ(words_of(command_response_port()), (Words{0, 0, 0, 0, 0, 0, 10, 0, 3, 0, 4}));
  EXPECT_TRUE(process().ports.stream_port.name.empty());
  EXPECT_TRUE(command_response_port().name.empty());
}

TEST_F(TransportSelection, PortNumberWritesTheCommandResponsePortWords) {
  const struct {
    uint32_t flags;
    Words expected;
  } cases[] = {
      {0x10008, {0, 2, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}},
      {0x10088, {0, 0, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}},
      {0x10080, {0, 0, 0, 0, 0x03F8, 4, 10, 0, 3, 0, 4}},
      {0x12000, {0, 0, 0, 0, 0x02F8, 3, 10, 0, 3, 0, 4}},
      {0x31008, {0, 2, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}},
  };
  for (const auto& c : cases) {
    SetUp();
    initialize_interfaces(c.flags, nullptr);
    EXPECT_EQ(words_of(command_response_port()), c.expected) << std::hex << c.flags;
    EXPECT_EQ(words_of(process().ports.stream_port), (Words{0, 0, 1, 0x1000, 0x1415, 0x9501, 10, 0, 3, 0, 4}));
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
