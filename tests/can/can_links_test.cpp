// Both CAN links end to end: exports → link → stand-in adapter library → virtual CAN bus → the
// software unit, and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "all_commands.h"
#include "bus.h"
#include "link_test.h"
#include "platform/event.h"
#include "platform/module.h"
#include "slcan_adapter.h"
#include "test_process.h"
#include "unit_responder.h"

namespace efi {
namespace {

using softunit::Bytes;

struct CanLinkCase {
  const char* name;
  uint32_t flag;
  const char* library;     // the stand-in
  const char* incomplete;  // the stand-in without one function
  uint16_t length_limit;
  uint32_t adapter_failure;
};

const CanLinkCase PCAN{"Pcan", EFI_FLAG_PCAN, EFI_PCAN_STANDIN, EFI_PCAN_INCOMPLETE, 4088, 1};
const CanLinkCase USB_CAN{"UsbCan", EFI_FLAG_USB_CAN, EFI_USBCAN_STANDIN, EFI_USBCAN_INCOMPLETE, 4095, 10};

class CanLink : public test::LinkTest, public ::testing::WithParamInterface<CanLinkCase> {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    server.publish_port();
    use_library(GetParam().library);
  }
  void TearDown() override {
    LinkTest::TearDown();
    platform::remove_named_event(USB_CAN_RECEIVE_EVENT);
  }
  void use_library(const std::string& file) {
    ASSERT_EQ(set_adapter_library(GetParam().flag, test::module_path(file).c_str()), 0u);
  }
  uint32_t initialize() { return initialize_interfaces(GetParam().flag, nullptr); }

  softunit::CanServer server{softunit::echo_responder()};
};

TEST_P(CanLink, LongestCommandsAndAnswers) {
  ASSERT_EQ(initialize(), 0u);
  const uint16_t longest = GetParam().length_limit - 8;
  ASSERT_EQ(send(longest, TS_MAX_TRANSFERSTRUCTS_SIZE), 0u);
  EXPECT_EQ(received, std::min<uint16_t>(longest, TS_MAX_TRANSFERSTRUCTS_SIZE));
  EXPECT_EQ(server.received().back().data, command);
  EXPECT_EQ(send(longest + 1, TS_MAX_TRANSFERSTRUCTS_SIZE), STATUS_CR_COMMAND_TOO_LARGE);
  // The host's flow control asks for everything; its separation-time byte is the command's first
  // header byte, 0xCD.
  for (const auto& flow : server.host_flow_controls()) EXPECT_EQ(flow[0] << 16 | flow[1] << 8 | flow[2], 0x3000CD);
}

TEST_P(CanLink, EveryCommandRoundTripsWithConversion) {
  softunit::CanServer unit(softunit::unit_responder());
  unit.publish_port();
  ASSERT_EQ(initialize(), 0u);
  test::expect_every_command_round_trips(unit);
}

TEST_P(CanLink, HostileUnitThenHealthyExchange) {
  ASSERT_EQ(initialize(), 0u);
  enable_error_messages(0);
  struct Case {
    LinkFault fault;
    uint32_t status;
  } cases[] = {
      // Each kind of fault once on the real bus; the segmentation tests go through every frame
      // out of place.
      {{Kind::status, 0x1234}, 0x1234},
      {{Kind::block_size, 2}, 0},
      {{Kind::no_flow_control}, STATUS_CR_READ_FAILED},
      {{Kind::wrong_sequence, 4}, STATUS_CR_NOT_INITIALIZED},
      {{Kind::missing_frame, 3}, STATUS_CR_READ_FAILED},
      {{Kind::foreign_frames}, 0},
      {{Kind::oversize, 300}, STATUS_CR_RESPONSE_BUFFER_TOO_SMALL},
      {{Kind::announce_more, 20}, STATUS_CR_READ_FAILED},
  };
  for (const Case& c : cases) {
    server.queue_fault(c.fault);
    EXPECT_EQ(send(40, 100), c.status) << "fault " << int(c.fault.kind) << " " << c.fault.value;
    if (c.status == STATUS_CR_RESPONSE_BUFFER_TOO_SMALL || c.status == STATUS_CR_READ_FAILED) {
      EXPECT_EQ(received, 0xBEEF) << "fault " << int(c.fault.kind);
      EXPECT_EQ(response[100], 0xCC) << "nothing past the buffer";
    }
    expect_healthy_exchange("fault " + std::to_string(int(c.fault.kind)));
  }
  // A host without a response buffer or a received-size word: the answer is read and dropped.
  unsigned char data[4] = {1, 2, 3, 4};
  EXPECT_EQ(send_command(0x07, data, sizeof data, nullptr, 64, nullptr), 0u);
  expect_healthy_exchange("an exchange without host buffers");
}

// The 5 s wait for a response's first frame, spent waiting on the adapter's receive signal.
TEST_P(CanLink, WaitingForASilentUnitIsBoundedAndCostsNoCpu) {
  ASSERT_EQ(initialize(), 0u);
  expect_silence_waited_out_idly(server, 4.9, 6.5);
}

TEST_P(CanLink, InitialiseAndCloseTwiceAndComeBack) {
  EXPECT_EQ(close_interfaces(0), 1u) << "nothing selected yet";
  ASSERT_EQ(initialize(), 0u);
  EXPECT_EQ(initialize(), 0u);
  EXPECT_EQ(close_interfaces(0), 0u);
  EXPECT_EQ(close_interfaces(0), 0u);
  EXPECT_EQ(send(4), 0u) << "a closed link sends nothing";
  EXPECT_EQ(received, 0xBEEF);
  ASSERT_EQ(initialize(), 0u);
  expect_healthy_exchange("initialising after a close");
  EXPECT_TRUE(log.messages.empty());
}

TEST_P(CanLink, MissingLibraryOrFunction) {
  for (const std::string& file : {std::string("no_such_adapter_library"), std::string(GetParam().incomplete)}) {
    fresh_library();
    use_library(file);
    const bool pcan = GetParam().flag == EFI_FLAG_PCAN;
    EXPECT_EQ(initialize(), pcan ? 0u : STATUS_CR_NOT_CONNECTED) << file;
    ASSERT_EQ(log.messages.size(), 1u) << file;
    EXPECT_EQ(log.messages[0].title, pcan ? "Error!" : "ERROR!");
    if (file[0] == 'n') {
      EXPECT_NE(log.messages[0].text.find("no_such_adapter_library"), std::string::npos);
    }
    enable_error_messages(0);
    EXPECT_EQ(send(4), pcan ? 1u : 0u) << file;
    EXPECT_EQ(received, 0xBEEF);
    close_interfaces(0);
  }
  // Suppressed messages: the USB-CAN report is suppressible, the PCAN loader's are not.
  fresh_library();
  enable_error_messages(0);
  use_library("no_such_adapter_library");
  initialize();
  EXPECT_EQ(log.messages.size(), GetParam().flag == EFI_FLAG_PCAN ? 1u : 0u);
}

TEST(UsbCanLinkWrites, RefusedOrFailedWritesFailOtherWarningsCountAsSent) {
  softunit::CanServer server(softunit::echo_responder());
  server.publish_port();
  for (auto [result, status] : {std::pair{"0x91", 10u}, {"0x05", 10u}, {"0x80", 0u}}) {
    softunit::set_environment("EFILINK_USBCAN_WRITE_RESULT", result);
    on_library_load();
    enable_error_messages(0);
    set_adapter_library(EFI_FLAG_USB_CAN, test::module_path(EFI_USBCAN_STANDIN).c_str());
    ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB_CAN, nullptr), 0u);
    Bytes command(30, 1), response(64);
    uint16_t received = 0;
    EXPECT_EQ(send_command(0x07, command.data(), 30, response.data(), 64, &received), status) << result;
    close_interfaces(0);
  }
  softunit::set_environment("EFILINK_USBCAN_WRITE_RESULT", nullptr);
  on_library_load();
}

// The PCAN link waits on the library's receive signal: a late answer costs a few looks into an
// empty queue, not one per step of the wait. A library that refuses the signal is read in steps,
// and the exchange's trace says so.
TEST(PcanReceiveSignal, ALateAnswerCostsAFewReadsAndALibraryWithoutTheSignalStillWorks) {
  const std::string trace = test::temp_path("pcan.log");
  const test::RemovedAtEnd removed{{trace, candump_path(trace)}};
  softunit::CanServer server(softunit::echo_responder());
  server.publish_port();
  const std::string standin = test::module_path(EFI_PCAN_STANDIN);
  platform::Module library = platform::load_module(standin.c_str());
  using EmptyReads = uint64_t(EFI_ADAPTER_CALL*)();
  const auto empty_reads = reinterpret_cast<EmptyReads>(platform::find_symbol(library, "StandInEmptyReads"));
  ASSERT_NE(empty_reads, nullptr);
  for (const bool refused : {false, true}) {
    softunit::set_environment("EFILINK_PCAN_NO_RECEIVE_EVENT", refused ? "1" : nullptr);
    on_library_load();
    ASSERT_EQ(set_adapter_library(EFI_FLAG_PCAN, standin.c_str()), 0u);
    ASSERT_EQ(initialize_interfaces(EFI_FLAG_PCAN, nullptr), 0u);
    EXPECT_EQ(process().links.pcan.wakes_on_frames(), !refused);
    Bytes command(20, 7), response(64);
    uint16_t received = 0;
    server.queue_fault({softunit::LinkFault::Kind::delay, 300});
    const uint64_t before = empty_reads();
    ASSERT_EQ(set_trace_file(trace.c_str()), 0u);
    EXPECT_EQ(send_command(0x07, command.data(), 20, response.data(), 64, &received), 0u) << refused;
    ASSERT_EQ(set_trace_file(nullptr), 0u);
    EXPECT_EQ(received, 20u);
    if (!refused) {
      EXPECT_LE(empty_reads() - before, 12u) << "empty reads for an answer 300 ms late";
    }
    const std::string line = test::file_lines(trace).at(0);
    EXPECT_EQ(line.find(" waits=steps ") != std::string::npos, refused) << line;
    close_interfaces(0);
  }
  softunit::set_environment("EFILINK_PCAN_NO_RECEIVE_EVENT", nullptr);
  on_library_load();
}

INSTANTIATE_TEST_SUITE_P(Adapters, CanLink, ::testing::Values(PCAN, USB_CAN),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AdapterLibrary, OnlyAdapterLinksTakeALibrary) {
  on_library_load();
  for (uint32_t flag : {EFI_FLAG_USB_CAN, EFI_FLAG_PCAN, EFI_FLAG_UART_SERIAL}) {
    EXPECT_EQ(set_adapter_library(flag, "x"), 0u);
    EXPECT_EQ(set_adapter_library(flag, nullptr), 0u);
  }
  for (uint32_t flag : {0u, EFI_FLAG_USB, EFI_FLAG_PCAN | EFI_FLAG_USB_CAN, EFI_FLAG_COM_SERIAL})
    EXPECT_EQ(set_adapter_library(flag, "x"), 1u) << flag;
}

// python-can (Debian's python3-can) as the host, by hand: one segmented exchange with the unit
// through `arguments` of tests/can/python_can_exchange.py, whose answer must be the model's.
void expect_python_can_exchange(const std::string& environment, const std::string& arguments,
                                const softunit::CanServer& unit) {
  const std::string command = environment + " /usr/bin/python3 \"" EFI_SOURCE_DIR
                              "/tests/can/python_can_exchange.py\" " + arguments + " 2>&1";
  std::string output;
  ASSERT_EQ(test::run_shell(command, output), 0) << output;
  const CommandHeader_TS header{0xCD07, 3, 0x100, 0};
  const unsigned char data[3] = {0xD0, 0xD1, 0xD2};
  softunit::Response expected = softunit::Unit{}.respond(header, data, sizeof data);
  expected.header.response_data_returning_size = static_cast<uint16_t>(expected.data.size());
  expected.header.dummy = EFI_RESPONSE_MARKER;
  const ResponseHeader_TS wire = softunit::swapped(expected.header);
  std::string hex;
  char digits[3];
  for (size_t i = 0; i < 8 + expected.data.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02x",
                  i < 8 ? reinterpret_cast<const unsigned char*>(&wire)[i] : expected.data[i - 8]);
    hex += digits;
  }
  EXPECT_NE(output.find(hex), std::string::npos) << output;
  ASSERT_EQ(unit.received().size(), 1u);
  EXPECT_EQ(unit.received()[0].data, (Bytes{0xD0, 0xD1, 0xD2}));
}

// The stand-in PCAN library under python-can's own pcan interface.
TEST(PythonCan, OpensTheStandInAndExchangesFramesOnTheBus) {
  if (platform::modules_are_dlls()) GTEST_SKIP() << "python-can runs natively only, not under wine";
  if (sizeof(void*) == 4) GTEST_SKIP() << "the 64-bit python cannot load this build's 32-bit stand-in";
  if (std::system("/usr/bin/python3 -c \"import can\" 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-can is not installed (scripts/setup installs it)";
  softunit::CanServer server(softunit::unit_responder());
  server.publish_port();
  expect_python_can_exchange("LD_LIBRARY_PATH=\"" + test::module_path("") + "\" " + EFI_PYTHON_PRELOAD, "", server);
}

// The unit's serial-line adapter under python-can's slcan interface (with python3-serial): it
// answers as an adapter nobody here wrote is expected to.
TEST(PythonCan, DrivesTheUnitsSerialLineAdapter) {
  if (platform::modules_are_dlls()) GTEST_SKIP() << "python-can runs natively only, not under wine";
  if (std::system("/usr/bin/python3 -c \"import can, serial\" 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-can or python3-serial is not installed (scripts/setup installs them)";
  softunit::CanServer server(softunit::unit_responder());
  softunit::SlcanAdapter adapter(server.port());
  expect_python_can_exchange("", "slcan " + adapter.device_path(), server);
  const std::vector<std::string> commands = adapter.commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "S6"), commands.end()) << "500 kbit/s";
}

}  // namespace
}  // namespace efi
