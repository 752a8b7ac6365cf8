// The exports' dispatch against recording stand-ins for the links: flag-word decoding, port
// records and the entries of the transport table; the dispatcher's order of converter calls,
// headers, the CRM and status pass-through, with recording converters.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "test_support.h"

namespace efi {
namespace {

// What the recording links and converters were asked for, in the order they were asked.
std::string trace;

uint32_t record(const std::string& entry) {
  trace += entry + ",";
  return 0;
}

// A link that records every operation it is asked for, as "name.operation(argument)", and answers
// as the test says.
struct RecordingLink final : Link {
  explicit RecordingLink(const char* name) : link_name(name) {}

  const char* name() const override { return link_name.c_str(); }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char*) override {
    seen_context = context;
    return record("initialize", flags);
  }
  uint32_t send(const LinkContext& context, CRM* crm) override {
    seen_context = context;
    seen_crm = *crm;
    seen_header = *crm->command_header;
    seen_transfer_status = *crm->transfer_status;
    crm->response_header->response_status = unit_status;
    record("send", 0);
    return result;
  }
  uint32_t connect(const LinkContext&) override { return record("connect", 0); }
  uint32_t close(const LinkContext&, uint32_t which) override { return record("close", which); }
  uint32_t append_playback(const void*, uint32_t size) override { return record("append", size); }

  uint32_t record(const char* operation, uint32_t argument) {
    char text[16];
    std::snprintf(text, sizeof text, "(%x)", argument);
    return efi::record(link_name + "." + operation + text);
  }

  std::string link_name;
  uint32_t result = 0;
  uint16_t unit_status = 0;
  LinkContext seen_context;
  CRM seen_crm{};
  CommandHeader_TS seen_header{};
  uint32_t seen_transfer_status = 0xFFFFFFFF;
};

class TransportSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    on_library_load();
    trace.clear();
    process().stand_in_links =
        SelectableLinks{&uart, &com, &usb, &usb_can, &pcan, &bluetooth, &ethernet, &simulator, &slcan};
  }
  void TearDown() override { on_library_load(); }

  std::string initialise(uint32_t flags) {
    trace.clear();
    initialize_interfaces(flags, nullptr);
    return trace;
  }
  const SerialPortRecord& command_response_port() { return process().ports.command_response_port; }

  RecordingLink uart{"uart"}, com{"com"}, usb{"usb"}, usb_can{"usbcan"}, pcan{"pcan"}, bluetooth{"bluetooth"},
      ethernet{"ethernet"}, simulator{"simulator"}, slcan{"slcan"};
};

TEST_F(TransportSelection, PrecedenceRunsFromSimulatorDownToComPort) {
  const struct {
    uint32_t bits;
    const char* name;
  } order[] = {{0x200, "simulator"}, {0x400000, "ethernet"}, {0x100000, "bluetooth"}, {0x800000, "slcan"},
               {0x200000, "pcan"},   {0x100, "usbcan"},      {0x20, "usb"},            {0x2000, "uart"},
               {0x1000, "com"}};
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

using Words = std::vector<uint16_t>;
Words words_of(const SerialPortRecord& r) {
  return {r.port, r.channel, r.cardType, r.cardParameter, r.base, r.irq,
          r.baudCode, r.parityCode, r.lengthCode, r.stopCode, r.protocolCode};
}

// A port number writes the command-response port's words as the card and first-port bits choose
// them; without one they stay. The stream port keeps its load-time words; each call names COM0.
TEST_F(TransportSelection, PortNumberChoosesTheCommandResponsePortWords) {
  const Words stream = words_of(process().ports.stream_port);
  const struct {
    uint32_t flags;
    uint16_t channel, base;
  } cases[] = {{0x10008, 2, 0x1415}, {0x10088, 0, 0x1415}, {0x10080, 0, 0x03F8}, {0x12000, 0, 0x02F8}};
  for (const auto& c : cases) {
    SetUp();
    EXPECT_EQ(command_response_port().base, 0);
    initialize_interfaces(c.flags, nullptr);
    EXPECT_EQ(command_response_port().channel, c.channel) << std::hex << c.flags;
    EXPECT_EQ(command_response_port().base, c.base) << std::hex << c.flags;
    EXPECT_EQ(words_of(process().ports.stream_port), stream);
  }
  initialize_interfaces(0x88, nullptr);
  EXPECT_EQ(command_response_port().base, 0x02F8);
  EXPECT_EQ(command_response_port().name, L"COM0");
  process().ports.command_response_port.name = L"COM9";
  initialize_interfaces(0, nullptr);
  EXPECT_EQ(command_response_port().name, L"COM0");
}

uint32_t command_swap(unsigned char*, size_t) { return record("command_swap"); }
uint32_t command_placement(unsigned char*, size_t) { return record("command_placement"); }
uint32_t response_swap(unsigned char*, size_t) { return record("response_swap"); }
uint32_t response_placement(unsigned char*, size_t) { return record("response_placement"); }

class CommandExecution : public ::testing::Test {
 protected:
  void SetUp() override {
    on_library_load();
    rows.fill({command_swap, command_placement, response_swap, response_placement});
    rows[7] = {};
    process().stand_in_rows = rows.data();
    process().stand_in_links = SelectableLinks{&link, &link, &link, &link, &link, &link, &link, &link, &link};
    set_message_handler(test::MessageLog::handler, &log);
  }
  void TearDown() override { on_library_load(); }

  uint32_t send(uint8_t command) {
    trace.clear();
    return send_command(command, command_data, sizeof command_data, response, sizeof response, &received);
  }

  std::array<ConverterRow, CONVERTER_ROW_COUNT> rows{};
  RecordingLink link{"link"};
  test::MessageLog log;
  unsigned char command_data[4] = {1, 2, 3, 4};
  unsigned char response[16] = {};
  uint16_t received = 0xBEEF;
};

// The unit's status reaches the host widened and without a message; a failed transfer is
// reported once.
TEST_F(CommandExecution, ConverterOrderFollowsOutcomeAndConversionFlag) {
  const char* const WHOLE = "command_swap,link.send(0),response_placement,response_swap,command_swap,";
  const struct {
    uint32_t flags;
    uint32_t transport;
    uint16_t unit;
    const char* expected;
    uint32_t result;
  } cases[] = {
      {0x20, 0, 0, WHOLE, 0},
      {0x80000020, 0, 0, "link.send(0),response_placement,", 0},
      {0x20, 0, 3, "command_swap,link.send(0),command_swap,", 3},
      {0x20, 0, 0xFFFF, "command_swap,link.send(0),command_swap,", 0xFFFF},
      {0x80000020, 0, 0x8000, "link.send(0),", 0x8000},
      {0x20, STATUS_CR_READ_FAILED, 0, "command_swap,link.send(0),command_swap,", STATUS_CR_READ_FAILED},
      {0x80000020, STATUS_CR_READ_FAILED, 0, "link.send(0),", STATUS_CR_READ_FAILED},
  };
  for (const auto& c : cases) {
    initialize_interfaces(c.flags, nullptr);
    link.result = c.transport;
    link.unit_status = c.unit;
    log.messages.clear();
    EXPECT_EQ(send(0x17), c.result);
    EXPECT_EQ(trace, c.expected) << std::hex << c.flags << " " << c.transport << " " << c.unit;
    EXPECT_EQ(link.seen_context.convert_headers, (c.flags & EFI_FLAG_NO_CONVERSION) == 0);
    EXPECT_EQ(log.messages.size(), c.transport ? 1u : 0u);
  }
}

TEST_F(CommandExecution, EmptyRowAndNumbersPastTheTableTravelUnconverted) {
  initialize_interfaces(0x20, nullptr);
  EXPECT_EQ(send(7), 0u);
  EXPECT_EQ(trace, "link.send(0),");
  for (int command : {0x57, 0x58, 0xFF}) {
    EXPECT_EQ(send(static_cast<uint8_t>(command)), 0u);
    EXPECT_EQ(trace, command == 0x57 ? "command_swap,link.send(0),response_placement,response_swap,command_swap,"
                                     : "link.send(0),");
    EXPECT_EQ(link.seen_header.command_code, 0xCD00 + command);
  }
}

TEST_F(CommandExecution, FillsHeaderAndBlockFromTheArguments) {
  initialize_interfaces(0x20, nullptr);
  send(0x23);
  EXPECT_EQ(link.seen_header.command_code, 0xCD23);
  EXPECT_EQ(link.seen_header.command_data_size, 4);
  EXPECT_EQ(link.seen_header.response_buffer_size, 16);
  EXPECT_EQ(link.seen_header.reserved, 0);
  EXPECT_EQ(link.seen_crm.command_data, command_data);
  EXPECT_EQ(link.seen_crm.response_data, response);
  EXPECT_EQ(link.seen_crm.response_data_received_size, &received);
  EXPECT_EQ(link.seen_transfer_status, 0u);
  EXPECT_EQ(received, 0xBEEF) << "the dispatcher never writes the received size";
}

TEST_F(CommandExecution, FailedTransferIsReportedWithItsStatusUnlessSuppressed) {
  initialize_interfaces(0x20, nullptr);
  link.result = STATUS_CR_WRITE_FAILED;
  EXPECT_EQ(send(5), STATUS_CR_WRITE_FAILED);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"EfiSendCommand SendCommandReceiveResponse failed return_status = 20000006"});
  EXPECT_FALSE(link.seen_context.report.suppressed());

  log.messages.clear();
  enable_error_messages(0);
  EXPECT_EQ(send(5), STATUS_CR_WRITE_FAILED);
  EXPECT_TRUE(link.seen_context.report.suppressed()) << "the link is told too";
  EXPECT_EQ(send_command(5, nullptr, 0, nullptr, 0, nullptr), STATUS_CR_WRITE_FAILED);
  process().table = {};
  EXPECT_EQ(send(5), STATUS_CR_NOT_INITIALIZED);
  EXPECT_EQ(trace, "") << "no link: no converter runs either";
  EXPECT_TRUE(log.messages.empty());
}

}  // namespace
}  // namespace efi
