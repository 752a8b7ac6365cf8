// The Bluetooth link against the software unit's device server (a pseudo-terminal natively, a named
// pipe under Windows), found as the one member of the link's class in a device directory of the test's.
#include <gtest/gtest.h>

#include <cstdio>

#include "all_commands.h"
#include "link_test.h"
#include "test_process.h"
#include "transports/net/bluetooth_link.h"
#include "unit_responder.h"

namespace efi {
namespace {

const std::string MARKER_TEXT = "Bluetooth_SendCommandReceiveResponse pCRM->response_header->dummy != 0x55AA";
const std::string PAYLOAD_TEXT =
    "Bluetooth_SendCommandReceiveResponse payload_transferred != pCRM->response_header->response_data_returning_size";

template <typename Call>
std::string printed_by(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

class BluetoothLink : public test::LinkTest {
 protected:
  void SetUp() override { ASSERT_EQ(open_link(true), 0u); }

  // Initialises the link (of a library just loaded when `fresh`, with the faults the test armed).
  uint32_t open_link(bool fresh) {
    if (fresh) on_library_load();
    log.messages.clear();
    set_message_handler(test::MessageLog::handler, &log);
    return test::retry_open([&] {
      uint32_t status = 1;
      printed = printed_by([&] { status = initialize_interfaces(EFI_FLAG_BLUETOOTH, nullptr); });
      return status;
    });
  }
  // Command 0x07 with `size` bytes of data and room for `capacity`; what the link printed is kept.
  uint32_t send(uint16_t size, uint16_t capacity) {
    uint32_t status = 0;
    printed = printed_by([&] { status = LinkTest::send(size, capacity); });
    return status;
  }

  softunit::DeviceServer server{softunit::echo_responder(), softunit::DeviceFraming::bluetooth};
  test::DeviceDirectory devices{BLUETOOTH_DEVICE_CLASS, server.device_path()};
  std::string printed;
};

TEST_F(BluetoothLink, LargestCommandGoesOutIn256ByteWritesAndItsAnswerComesIn1536ByteReads) {
  EXPECT_EQ(printed, "DevicePath: " + devices.found + "\nOpened device successfully\n");
  EXPECT_EQ(send(4088, 4088), 0u);
  EXPECT_TRUE(echoed());
  std::string expected = "Command header was sent successfully !\n\r";
  auto add = [&expected](const char* format, unsigned count) {
    char line[64];
    std::snprintf(line, sizeof line, format, count);
    expected += line;
  };
  for (unsigned piece = 0; piece < 16; ++piece)
    add("Command data was sent successfully! Data size: 0x%x\n\r", piece < 15 ? 0x100 : 0xF8);
  expected += "Response header OK \n\r";
  for (unsigned piece : {0x600, 0x600, 0x3F8}) add("Response OK. Data size: 0x%x\n\r", piece);
  EXPECT_EQ(printed, expected);
  // One byte more is refused before anything moves, whatever the host said about messages.
  enable_error_messages(0);
  EXPECT_EQ(send(4089, 8), 1u);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(server.received_count(), 1u);
  EXPECT_EQ(log.texts(), Texts{" Bluetooth_SendCommandReceiveResponse CommandDataSize is begger than TS_MAX_TRANSFERSTRUCTS_SIZE : 0xff8"});
}

// What each fault makes the link say and give the host (the hostile-unit suite checks the exchanges
// after it); the messages show even while the host suppresses messages.
TEST_F(BluetoothLink, HostileUnitNeitherHoldsTheLinkNorWritesPastTheHostsBuffers) {
  const struct {
    softunit::LinkFault fault;
    uint32_t status;
    std::string message, line;
    size_t copied;  // response bytes the host gets
  } cases[] = {
      {{Kind::bad_marker, 0x1234}, 0, MARKER_TEXT, "Response header OK", 0},
      {{Kind::short_header, 5}, STATUS_CR_READ_FAILED, MARKER_TEXT, "Response header OK", 0},
      {{Kind::garbage, 20}, 0xEEEE, MARKER_TEXT, "Response header OK", 0},
      {{Kind::status, 0x42}, 0x42, "Bluetooth_SendCommandReceiveResponse pCRM->response_header->response_data_returning_size == 0", "", 0},
      {{Kind::announce_more, 10}, STATUS_CR_READ_FAILED, PAYLOAD_TEXT, "Read failed. Error: ", 0},
      // The unit stops after 10 of its 20 data bytes.
      {{Kind::stall, 18}, STATUS_CR_READ_FAILED, PAYLOAD_TEXT, "Response OK. Data size: 0xa", 0},
      {{Kind::silence, 0}, STATUS_CR_READ_FAILED, "", "Read failed. Error: ", 0},
      {{Kind::oversize, 100}, STATUS_CR_RESPONSE_BUFFER_TOO_SMALL, "", "Response OK. Data size: 0x64", 64},
      {{Kind::oversize, 5000}, 1, " Bluetooth_SendCommandReceiveResponse ReceiveDataSize is begger than TS_MAX_TRANSFERSTRUCTS_SIZE : 0xff8", "", 0},
  };
  enable_error_messages(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault.kind));
    log.messages.clear();
    server.queue_fault(c.fault);
    EXPECT_EQ(send(20, 64), c.status);
    EXPECT_EQ(received, 0xBEEF);
    EXPECT_EQ(log.texts(), c.message.empty() ? Texts{} : Texts{c.message});
    EXPECT_NE(printed.find(c.line), std::string::npos) << printed;
    for (size_t i = 0; i < response.size(); ++i) ASSERT_EQ(response[i] == 0xCC, i >= c.copied) << "byte " << i;
  }
  // A command header that cannot go out ends the exchange before anything is read.
  platform::inject_fault(platform::FaultPoint::device_write, 0, 1, 31);
  EXPECT_EQ(send(16, 64), STATUS_CR_WRITE_FAILED);
  EXPECT_EQ(printed, "Bluetooth_SendCommandReceiveResponse send error. Error: 31\n");
  EXPECT_EQ(log.texts().back(), " Bluetooth_SendCommandReceiveResponse send error");
}

TEST_F(BluetoothLink, SecondInitialisationKeepsTheSharedDeviceAndHeadersFollowTheConversionChoice) {
  EXPECT_EQ(initialize_interfaces(EFI_FLAG_BLUETOOTH | EFI_FLAG_NO_CONVERSION, nullptr), 0u);
  EXPECT_EQ(log.texts(), Texts{"Bluetooth_CRInitialized COMMAND_RESPONSE_INTERFACE already initialized"});
  server.set_wire_host_order(true);
  EXPECT_EQ(send(8, 8), 0u);
  EXPECT_TRUE(echoed());
  // Even an exclusive opener gets in beside the link (a named pipe takes one host only).
  EXPECT_TRUE(platform::modules_are_dlls() || platform::open_device(server.device_path().c_str()));
  // Closing withdraws the keep-awake request, which the system may refuse.
  platform::inject_fault(platform::FaultPoint::keep_awake, 0, 1, 5);
  EXPECT_EQ(printed_by([] { close_interfaces(0); }), "The function SetThreadExecutionState fails.\n");
  EXPECT_EQ(printed_by([] { close_interfaces(0); }), "") << "a closed link has nothing to close";
}

TEST_F(BluetoothLink, MissingLockedBufferIsReportedOnceAndRefusesEveryExchange) {
  platform::inject_fault(platform::FaultPoint::page_lock, 3, 1, 8);
  ASSERT_EQ(open_link(true), 0u);
  EXPECT_EQ(log.texts(), Texts{"BT_DataToLockedBuffers VirtualLock BT_pLocked_response_data failed GetLastError = 00000008"});
  // The buffers count as set up: initialising again does not try a second time.
  close_interfaces(0);
  ASSERT_EQ(open_link(false), 0u);
  EXPECT_TRUE(log.messages.empty());
  EXPECT_EQ(send(4, 8), STATUS_CR_LOCKED_BUFFER_FAILED);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(server.received_count(), 0u);
}

// A failed search prints its steps and fails the initialisation; it never ends the host.
TEST(BluetoothLinkSearch, EveryFailedStepIsPrinted) {
  const std::string missing = test::temp_path("no-device");
  const std::string not_found = "Failed to get the device interface detail data\n";
  const struct {
    std::string target, begins, ends;  // "@" in `ends` stands for the device path found
    platform::FaultPoint fault;
  } cases[] = {
      {"", "Error: ", "SetupDiEnumDeviceInterfaces failed.\n" + not_found, platform::FaultPoint::count},
      {"", "SetupDiGetClassDevs failed!\n", not_found, platform::FaultPoint::device_enumerate},
      {missing, "DevicePath: ", "@\nFailed to open device. Error 2\n", platform::FaultPoint::count},
  };
  for (const auto& c : cases) {
    on_library_load();
    const test::DeviceDirectory devices(BLUETOOTH_DEVICE_CLASS, c.target);
    if (c.fault != platform::FaultPoint::count) platform::inject_fault(c.fault, 0, 1, 5);
    uint32_t status = 0;
    const std::string printed = printed_by([&] { status = initialize_interfaces(EFI_FLAG_BLUETOOTH, nullptr); });
    EXPECT_EQ(status, 1u);
    std::string ends = c.ends;
    if (ends[0] == '@') ends.replace(0, 1, devices.found);
    EXPECT_TRUE(printed.starts_with(c.begins) && printed.ends_with(ends)) << printed;
    EXPECT_EQ(printed_by([] { EXPECT_EQ(close_interfaces(0), 0u); }), "");
    platform::clear_faults();
  }
}

TEST(BluetoothLinkWithTheUnit, EveryCommandRoundTripsWithConversionThroughTheExports) {
  softunit::DeviceServer server(softunit::unit_responder(), softunit::DeviceFraming::bluetooth);
  const test::DeviceDirectory devices(BLUETOOTH_DEVICE_CLASS, server.device_path());
  test::HostLibrary library;
  ASSERT_TRUE(library.loaded());
  library.set_device_directory(devices.root.c_str());
  uint32_t opened = 1;
  const std::string printed = printed_by([&] {
    if ((opened = library.initialize(EFI_FLAG_BLUETOOTH, nullptr)) == 0)
      test::expect_every_command_round_trips(server, TS_MAX_TRANSFERSTRUCTS_SIZE, library.send_command);
    library.close(0);
  });
  EXPECT_EQ(opened, 0u);
  // The failures went to standard output with the link's lines.
  if (HasFailure()) std::fputs(printed.c_str(), stdout);
}

}  // namespace
}  // namespace efi
