// The USB link against the software unit's device server: a pseudo-terminal natively, a named
// pipe under Windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "all_commands.h"
#include "link_test.h"
#include "platform/device_file.h"
#include "test_process.h"
#include "transports/usb/usb_link.h"
#include "unit_responder.h"

namespace efi {
namespace {

class UsbLink : public test::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB, server->device_path().c_str()), 0u);
  }

  // A fresh unit on a fresh device, for when a failed read left an answer on the line.
  void restart() {
    close_interfaces(0);
    server = std::make_unique<softunit::DeviceServer>(softunit::echo_responder());
    ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB, server->device_path().c_str()), 0u);
  }

  std::unique_ptr<softunit::DeviceServer> server = std::make_unique<softunit::DeviceServer>(softunit::echo_responder());
};

TEST_F(UsbLink, AnnouncesCommandsLongerThanThirtyTwoBytes) {
  EXPECT_EQ(send(24), 0u);
  EXPECT_TRUE(server->announcements().empty());
  EXPECT_EQ(received, 24);
  EXPECT_EQ(0, std::memcmp(response.data(), command.data(), 24));

  EXPECT_EQ(send(25), 0u);
  Bytes block(32, 0);
  block[0] = 0xCD, block[1] = 0x07, block[3] = 25;
  EXPECT_EQ(server->announcements(), std::vector<Bytes>{block});
  EXPECT_EQ(server->received().back().data, command);
}

TEST_F(UsbLink, CarriesUpToAFullTransferAndRefusesMore) {
  EXPECT_EQ(send(4088, 4088), 0u);
  EXPECT_EQ(received, 4088);
  EXPECT_EQ(0, std::memcmp(response.data(), command.data(), 4088));
  EXPECT_EQ(response[4088], 0xCC);

  const size_t before = server->received_count();
  EXPECT_EQ(send(4089), STATUS_CR_COMMAND_TOO_LARGE);
  EXPECT_EQ(server->received_count(), before);
  EXPECT_EQ(log.texts(), (Texts{"USB_SendCommandReceiveResponse command exceeds maximum transfer size of 1000",
                                "EfiSendCommand SendCommandReceiveResponse failed return_status = 20000008"}));
}

TEST_F(UsbLink, RepeatsTheExchangeOnceOnABadMarker) {
  server->queue_fault({Kind::bad_marker, 0x1234});
  EXPECT_EQ(send(4), 0u);
  EXPECT_EQ(server->received_count(), 2u);
  EXPECT_EQ(server->received()[0].header.command_code, server->received()[1].header.command_code);
  EXPECT_TRUE(log.messages.empty());

  server->queue_fault({Kind::bad_marker, 0xAA55});
  server->queue_fault({Kind::bad_marker, 0});
  EXPECT_EQ(send(4), STATUS_CR_BAD_RESPONSE_MARKER);
  EXPECT_EQ(server->received_count(), 4u);
  EXPECT_EQ(log.texts(), Texts{"EfiSendCommand SendCommandReceiveResponse failed return_status = 20000009"});
}

// An empty or split answer succeeds (an empty one leaves the received size alone); the unit's
// status reaches the host; a short header, data shorter than announced and a silent unit (after
// three bounded attempts) fail the read without a received size.
TEST_F(UsbLink, OddAnswersEndTheExchangeAsTheyAllow) {
  const struct {
    LinkFault fault;
    uint16_t size;
    uint32_t status;
    uint16_t received;
    const char* message;  // how the first message starts, "" for none
  } cases[] = {
      {{}, 0, 0, 0xBEEF, ""},
      {{Kind::split, 3}, 20, 0, 20, ""},
      {{Kind::status, 0x42}, 4, 0x42, 0xBEEF, ""},
      {{Kind::short_header, 5}, 4, STATUS_CR_READ_FAILED, 0xBEEF,
       "USB_SendCommandReceiveResponse ReadFile num_bytes_read != sizeof(ResponseHeader_TS)"},
      {{Kind::announce_more, 10}, 4, STATUS_CR_READ_FAILED, 0xBEEF,
       "USB_SendCommandReceiveResponse ReadFile Wasted num_bytes_read != response_data_returning_size"},
      {{Kind::silence, 0}, 4, STATUS_CR_READ_FAILED, 0xBEEF, "USB_SendCommandReceiveResponse ReadFile failed GetLastError = "},
  };
  for (const auto& c : cases) {
    restart();
    log.messages.clear();
    server->queue_fault(c.fault);
    EXPECT_EQ(send(c.size), c.status) << c.message;
    EXPECT_EQ(received, c.received) << c.message;
    const std::string first = log.messages.empty() ? "" : log.messages[0].text;
    EXPECT_TRUE(*c.message ? first.rfind(c.message, 0) == 0 : first.empty()) << first;
  }
}

// Walks a failure through every read and write of one exchange: the k-th transfer fails three
// times in a row (or fewer, which the retries absorb).
TEST_F(UsbLink, EachReadAndWriteIsTriedThreeTimes) {
  const char* const READ_FAILED = "USB_SendCommandReceiveResponse ReadFile failed GetLastError = 0000001f";
  const struct {
    platform::FaultPoint point;
    uint32_t successes;
    const char* message;
    uint32_t status;
  } steps[] = {
      {platform::FaultPoint::device_write, 0,
       "USB_SendCommandReceiveResponse WriteFile COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT failed0 GetLastError = 0000001f",
       STATUS_CR_WRITE_FAILED},
      {platform::FaultPoint::device_write, 1, "USB_SendCommandReceiveResponse WriteFile failed0 GetLastError = 0000001f",
       STATUS_CR_WRITE_FAILED},
      // Header and data that arrive together take one read.
      {platform::FaultPoint::device_read, 0, READ_FAILED, STATUS_CR_READ_FAILED},
  };
  for (const auto& step : steps) {
    for (uint32_t failures : {1u, 2u, 3u}) {
      log.messages.clear();
      platform::inject_fault(step.point, step.successes, failures, 0x1F);
      const uint32_t status = send(40);
      platform::clear_faults();
      if (failures < 3) {
        EXPECT_EQ(status, 0u) << step.message << " x" << failures;
        continue;
      }
      EXPECT_EQ(status, step.status) << step.message;
      ASSERT_FALSE(log.messages.empty());
      EXPECT_EQ(log.messages[0].text, step.message);
      restart();
    }
  }
}

TEST_F(UsbLink, HeadersAreConvertedEvenWithoutDataConversion) {
  ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB | EFI_FLAG_NO_CONVERSION, nullptr), 0u) << "already open";
  EXPECT_EQ(send(4), 0u);
  EXPECT_EQ(server->received().back().header.command_code, 0xCD07);
  EXPECT_EQ(server->received().back().header.response_buffer_size, 64);
}

TEST_F(UsbLink, ClosedLinkReportsNotConnectedAndOpensAgain) {
  close_interfaces(0);
  EXPECT_EQ(send(4), STATUS_CR_NOT_CONNECTED);
  EXPECT_EQ(log.texts()[0], "USB_SendCommandReceiveResponse USB_interface_connected=FALSE");
  ASSERT_EQ(test::retry_open([&] { return initialize_interfaces(EFI_FLAG_USB, server->device_path().c_str()); }), 0u);
  EXPECT_EQ(send(4), 0u);
}

// Neither a missing device nor a regular file or a directory opens as a unit, and the file keeps
// what it held; the link holds the device it opened exclusively.
TEST_F(UsbLink, OnlyAnUnsharedDeviceOpens) {
  EXPECT_FALSE(platform::open_device(server->device_path().c_str())) << "the link holds it exclusively";
  close_interfaces(0);
  const std::string file = test::temp_path("not-a-unit");
  const std::string directory = std::filesystem::path(file).parent_path().string();
  const test::RemovedAtEnd removed{{file}};
  std::ofstream(file) << "precious";
  for (const std::string& path : {std::string("/no/such/device"), file, directory}) {
    log.messages.clear();
    EXPECT_EQ(initialize_interfaces(EFI_FLAG_USB, path.c_str()), STATUS_CR_OPEN_FAILED) << path;
    ASSERT_FALSE(log.messages.empty());
    EXPECT_EQ(log.messages.back().text.rfind("  USB_Initialize CreateFile failed GetLastError = ", 0), 0u);
    EXPECT_EQ(send(40), STATUS_CR_NOT_CONNECTED);
  }
  EXPECT_EQ(test::file_text(file), "precious");
}

using UsbLinkLookup = test::LinkTest;

TEST_F(UsbLinkLookup, FindsTheFirstUnitOfItsClassWhenNoPathIsGiven) {
  {
    const test::DeviceDirectory none(USB_DEVICE_CLASS, "");
    EXPECT_EQ(initialize_interfaces(EFI_FLAG_USB, nullptr), STATUS_CR_NOT_CONNECTED);
    ASSERT_EQ(log.messages.size(), 2u);
    EXPECT_EQ(log.messages[0].text, "GetDevicePath Error: SetupDiEnumDeviceInterfaces failed");
    EXPECT_EQ(log.messages[1].text.rfind("  USB_InitializeInterfaces GetDevicePath failed GetLastError = ", 0), 0u);
  }
  softunit::DeviceServer server(softunit::echo_responder());
  const test::DeviceDirectory devices(USB_DEVICE_CLASS, server.device_path());
  ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB, nullptr), 0u);
  // A host without a received-size word still gets its response.
  unsigned char data[4] = {1, 2, 3, 4}, answer[4] = {};
  EXPECT_EQ(send_command(7, data, 4, answer, 4, nullptr), 0u);
  EXPECT_EQ(answer[3], 4);
}

TEST(UsbLinkWithTheUnit, EveryCommandRoundTripsWithConversion) {
  on_library_load();
  softunit::DeviceServer server(softunit::unit_responder());
  ASSERT_EQ(initialize_interfaces(EFI_FLAG_USB, server.device_path().c_str()), 0u);
  test::expect_every_command_round_trips(server);
  close_interfaces(0);
}

}  // namespace
}  // namespace efi
