#include "transports/usb/usb_link.h"

#include <cstring>

#include "api/messages.h"
#include "api/process_state.h"
#include "platform/clock.h"
#include "platform/device_file.h"
#include "platform/device_interface.h"
#include "platform/system_error.h"
#include "protocol/headers.h"

namespace efi {

namespace {

struct UsbState {
  uint8_t USB_interface_connected = 0;
  platform::DeviceHandle device = nullptr;
  unsigned char transfer_buffer[USB_TRANSFER_SIZE] = {};
};
UsbState usb;

constexpr int ATTEMPTS = 3;
constexpr uint32_t RETRY_SLEEP_MS = 5;

struct Outcome {
  bool ok;            // some attempt succeeded
  uint32_t count;     // bytes moved by that attempt
  uint32_t error;     // system error of the last failed attempt
};

// Each read or write gets three attempts, 5 ms apart.
template <typename Operation>
Outcome with_retries(Operation operation) {
  uint32_t error = 0;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    const platform::Transfer transfer = operation();
    if (transfer.ok) return {true, transfer.count, 0};
    error = platform::last_error();
    platform::sleep_ms(RETRY_SLEEP_MS);
  }
  return {false, 0, error};
}

Outcome write_all(const void* data, uint32_t size) {
  return with_retries([&] { return platform::write_device(usb.device, data, size); });
}

Outcome read_into(void* data, uint32_t size) {
  return with_retries([&] { return platform::read_device(usb.device, data, size); });
}

constexpr const char* READ_FAILED_TEXT = "USB_SendCommandReceiveResponse ReadFile failed GetLastError = %08x";
constexpr const char* WASTED_TEXT =
    "USB_SendCommandReceiveResponse ReadFile Wasted num_bytes_read != response_data_returning_size";

// Reads and throws away `size` bytes of a response too large for the host, a transfer buffer at a
// time, so no announced size can make it write past the buffer.
uint32_t drain_response(uint32_t size, uint16_t* received_size) {
  uint32_t left = size;
  while (left > 0) {
    const uint32_t piece = left < USB_TRANSFER_SIZE ? left : static_cast<uint32_t>(USB_TRANSFER_SIZE);
    const Outcome read = read_into(usb.transfer_buffer, piece);
    if (!read.ok) {
      report_error(TextWidth::narrow, READ_FAILED_TEXT, read.error);
      return STATUS_CR_READ_FAILED;
    }
    if (read.count != piece) {
      report_error(TextWidth::narrow, WASTED_TEXT);
      if (received_size) *received_size = 0;
      return STATUS_CR_READ_FAILED;
    }
    left -= piece;
  }
  return STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
}

}  // namespace

uint32_t GetDevicePath(const char* class_guid, char* path, size_t path_size, uint32_t index) {
  const platform::DeviceLookup lookup = platform::find_device_interface(class_guid, index, path, path_size);
  switch (lookup.failed_step) {
    case platform::DeviceLookupStep::none:
      return 1;
    case platform::DeviceLookupStep::class_list:
      report_error(TextWidth::wide, "GetDevicePath Error: SetupDiGetClassDevs failed");
      return 0;
    case platform::DeviceLookupStep::enumerate:
      if (lookup.error_has_text) report_error(TextWidth::wide, "GetDevicePath Error: SetupDiEnumDeviceInterfaces failed");
      return 0;
    case platform::DeviceLookupStep::allocate:
      report_error(TextWidth::wide, "GetDevicePath Error: LocalAlloc failed");
      return 0;
    case platform::DeviceLookupStep::detail:
      if (lookup.error_has_text)
        report_error(TextWidth::wide, "GetDevicePath Error: SetupDiGetDeviceInterfaceDetail failed");
      return 0;
    case platform::DeviceLookupStep::convert:
      return 0;
  }
  return 0;
}

uint32_t USB_InitializeInterfaces(uint32_t, const char* device_path) {
  if (usb.USB_interface_connected) return 0;
  char found_path[USB_DEVICE_PATH_SIZE] = {};
  if (!device_path) {
    if (!GetDevicePath(USB_DEVICE_CLASS, found_path, sizeof found_path, 0)) {
      report_error(TextWidth::narrow, "  USB_InitializeInterfaces GetDevicePath failed GetLastError = %08x",
                   platform::last_error());
      return STATUS_CR_NOT_CONNECTED;
    }
    device_path = found_path;
  }
  usb.device = platform::open_device(device_path);
  if (!usb.device) {
    report_error(TextWidth::narrow, "  USB_Initialize CreateFile failed GetLastError = %08x", platform::last_error());
    return STATUS_CR_OPEN_FAILED;
  }
  usb.USB_interface_connected = 1;
  return 0;
}

uint32_t USB_CloseInterfaces(uint32_t) {
  if (usb.USB_interface_connected) {
    platform::close_device(usb.device);
    usb.device = nullptr;
    usb.USB_interface_connected = 0;
  }
  return 0;
}

uint32_t USB_SendCommandReceiveResponse(CRM* crm) {
  CommandHeader_TS* command_header = crm->command_header;
  const uint32_t command_size = command_header->command_data_size;
  const uint32_t response_capacity = command_header->response_buffer_size;
  SwapHeaderByteOrder(command_header);

  if (!usb.USB_interface_connected) {
    report_error(TextWidth::narrow, "USB_SendCommandReceiveResponse USB_interface_connected=FALSE");
    return STATUS_CR_NOT_CONNECTED;
  }
  const uint32_t request_size = command_size + sizeof(CommandHeader_TS);
  if (request_size > USB_TRANSFER_SIZE) {
    report_error(TextWidth::narrow, "USB_SendCommandReceiveResponse command exceeds maximum transfer size of %04x",
                 static_cast<unsigned>(USB_TRANSFER_SIZE));
    return STATUS_CR_COMMAND_TOO_LARGE;
  }

  if (request_size > USB_DEFAULT_REQUEST_SIZE) {
    // The announcement tells the unit a long command follows; only its first four bytes mean anything.
    std::memset(usb.transfer_buffer, 0, USB_DEFAULT_REQUEST_SIZE);
    store_be16(usb.transfer_buffer, EFI_COMMAND_CODE_BASE + COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT);
    store_be16(usb.transfer_buffer + 2, static_cast<uint16_t>(command_size));
    const Outcome announced = write_all(usb.transfer_buffer, USB_DEFAULT_REQUEST_SIZE);
    if (!announced.ok) {
      report_error(TextWidth::narrow,
                   "USB_SendCommandReceiveResponse WriteFile COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT failed0 "
                   "GetLastError = %08x",
                   announced.error);
      return STATUS_CR_WRITE_FAILED;
    }
    if (announced.count != USB_DEFAULT_REQUEST_SIZE) {
      report_error(TextWidth::narrow,
                   "USB_SendCommandReceiveResponse WriteFile COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT failed1 "
                   "GetLastError = %08x",
                   platform::last_error());
      return STATUS_CR_WRITE_FAILED;
    }
  }

  std::memcpy(usb.transfer_buffer, command_header, sizeof(CommandHeader_TS));
  if (command_size) std::memcpy(usb.transfer_buffer + sizeof(CommandHeader_TS), crm->command_data, command_size);
  const Outcome sent = write_all(usb.transfer_buffer, request_size);
  if (!sent.ok) {
    report_error(TextWidth::narrow, "USB_SendCommandReceiveResponse WriteFile failed0 GetLastError = %08x", sent.error);
    return STATUS_CR_WRITE_FAILED;
  }
  if (sent.count != request_size) {
    report_error(TextWidth::narrow, "USB_SendCommandReceiveResponse WriteFile Command failed1 GetLastError = %08x",
                 platform::last_error());
    return STATUS_CR_WRITE_FAILED;
  }

  ResponseHeader_TS* response_header = crm->response_header;
  const Outcome header = read_into(response_header, sizeof(ResponseHeader_TS));
  if (!header.ok) {
    report_error(TextWidth::narrow, READ_FAILED_TEXT, header.error);
    return STATUS_CR_READ_FAILED;
  }
  if (header.count != sizeof(ResponseHeader_TS)) {
    report_error(TextWidth::narrow, "USB_SendCommandReceiveResponse ReadFile num_bytes_read != sizeof(ResponseHeader_TS)");
    return STATUS_CR_READ_FAILED;
  }
  SwapHeaderByteOrder(response_header);
  if (response_header->dummy != EFI_RESPONSE_MARKER) {
    SwapHeaderByteOrder(command_header);  // host order again, ready for the repeat
    return STATUS_CR_BAD_RESPONSE_MARKER;
  }

  const uint32_t returning = response_header->response_data_returning_size;
  if (returning == 0) return 0;
  if (returning > response_capacity) return drain_response(returning, crm->response_data_received_size);

  const Outcome data = read_into(crm->response_data, returning);
  if (!data.ok) {
    report_error(TextWidth::narrow, READ_FAILED_TEXT, data.error);
    return STATUS_CR_READ_FAILED;
  }
  if (data.count != returning) {
    report_error(TextWidth::narrow, WASTED_TEXT);
    return STATUS_CR_READ_FAILED;
  }
  store_received_size(crm, returning);
  return 0;
}

uint32_t USB_SendCommandWithRepeat(CRM* crm) {
  const uint32_t result = USB_SendCommandReceiveResponse(crm);
  return result == STATUS_CR_BAD_RESPONSE_MARKER ? USB_SendCommandReceiveResponse(crm) : result;
}

const TransportDescriptor USB_TRANSPORT{
    "USB", USB_SendCommandWithRepeat, connect_nothing, USB_InitializeInterfaces, USB_CloseInterfaces, nullptr,
};

}  // namespace efi
