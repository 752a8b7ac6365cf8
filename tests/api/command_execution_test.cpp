// The dispatcher's order of converter calls, headers, the CRM and status pass-through, with a
// recording stand-in for a link and recording converters.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "recording_link.h"
#include "test_support.h"

namespace efi {
namespace {

// Converter calls and the link's transfer, in the order they happen.
std::string trace;

uint32_t record(const char* name) {
  trace += std::string(name) + ",";
  return 0;
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
    process().converter_rows = rows.data();
    process().registry = {};
    process().registry.usb = &link;
    set_message_handler(test::MessageLog::handler, &log);
  }
  void TearDown() override { on_library_load(); }

  uint32_t send(uint8_t command) {
    trace.clear();
    return send_command(command, command_data, sizeof command_data, response, sizeof response, &received);
  }

  std::array<ConverterRow, CONVERTER_ROW_COUNT> rows{};
  test::RecordingLink link{"link", &trace};
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
