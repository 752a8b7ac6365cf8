#include "transports/usb/usb_link.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"
#include "platform/system_error.h"
#include "protocol/headers.h"
#include "transports/common/device_in_step.h"
#include "transports/common/device_path.h"
#include "transports/common/framing.h"
#include "transports/common/in_step.h"

namespace efi {

namespace {

constexpr int ATTEMPTS = 3;
constexpr uint32_t RETRY_SLEEP_MS = 5;

constexpr const char* READ_FAILED_TEXT = "USB_SendCommandReceiveResponse ReadFile failed GetLastError = %08x";
constexpr const char* WASTED_TEXT =
    "USB_SendCommandReceiveResponse ReadFile Wasted num_bytes_read != response_data_returning_size";

}  // namespace

struct UsbLink::Outcome {
  bool ok;         // some attempt succeeded
  uint32_t count;  // bytes moved by that attempt
  uint32_t error;  // system error of the last failed attempt
};

namespace {
// Each read or write gets three attempts, 5 ms apart.
template <typename Result, typename Operation>
Result with_retries(Operation operation) {
  uint32_t error = 0;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    const platform::Transfer transfer = operation();
    if (transfer.ok) return {true, transfer.count, 0};
    error = platform::last_error();
    platform::sleep_ms(RETRY_SLEEP_MS);
  }
  return {false, 0, error};
}
}  // namespace

UsbLink::Outcome UsbLink::write_all(const void* data, uint32_t size) {
  return with_retries<Outcome>(
      [&] { return platform::write_device(device, data, size, bounds_within(exchange_deadline)); });
}

UsbLink::Outcome UsbLink::read_into(void* data, uint32_t size) {
  return with_retries<Outcome>(
      [&] { return platform::read_device(device, data, size, bounds_within(exchange_deadline)); });
}

// Reads exactly `size` bytes of response data; 0, or STATUS_CR_READ_FAILED after its message.
// `continuing`: these bytes follow data already read, so, as within one read, the line may stay
// quiet only as long as between bytes; otherwise the first byte gets the full wait and each read
// its three attempts.
uint32_t UsbLink::read_response_data(const Reporter& report, unsigned char* data, uint32_t size, bool continuing) {
  bool failed = false;
  uint32_t error = 0;
  auto read_some = [&](unsigned char* at, uint32_t wanted) -> int64_t {
    if (continuing) {
      platform::TransferBounds bounds = bounds_within(exchange_deadline);
      bounds.first_byte_ms = std::min(bounds.first_byte_ms, bounds.quiet_ms);
      const platform::Transfer read = platform::read_device(device, at, wanted, bounds);
      return read.ok ? read.count : 0;
    }
    continuing = true;
    const Outcome read = read_into(at, wanted);
    failed = !read.ok;
    error = read.error;
    return read.ok ? read.count : -1;
  };
  if (read_exactly(data, size, read_some) == size) return 0;
  if (failed)
    report.error(TextWidth::narrow, READ_FAILED_TEXT, error);
  else
    report.error(TextWidth::narrow, WASTED_TEXT);
  return STATUS_CR_READ_FAILED;
}

uint32_t UsbLink::initialize(const LinkContext& context, uint32_t, const char* device_path) {
  if (USB_interface_connected) return 0;
  const Reporter& report = context.report;
  char found_path[USB_DEVICE_PATH_SIZE] = {};
  if (!device_path) {
    if (!GetDevicePath(report, USB_DEVICE_CLASS, found_path, sizeof found_path, 0)) {
      report.error(TextWidth::narrow, "  USB_InitializeInterfaces GetDevicePath failed GetLastError = %08x",
                   platform::last_error());
      return STATUS_CR_NOT_CONNECTED;
    }
    device_path = found_path;
  }
  device = platform::open_device(device_path);
  if (!device) {
    report.error(TextWidth::narrow, "  USB_Initialize CreateFile failed GetLastError = %08x", platform::last_error());
    return STATUS_CR_OPEN_FAILED;
  }
  USB_interface_connected = 1;
  out_of_step = false;
  return 0;
}

uint32_t UsbLink::close(const LinkContext&, uint32_t) {
  device.reset();
  USB_interface_connected = 0;
  return 0;
}

uint32_t UsbLink::USB_SendCommandReceiveResponse(const LinkContext& context, CRM* crm) {
  const Reporter& report = context.report;
  const CommandHeader_TS* command_header = crm->command_header;
  const uint32_t command_size = command_header->command_data_size;
  const uint32_t response_capacity = command_header->response_buffer_size;

  if (!USB_interface_connected) {
    report.error(TextWidth::narrow, "USB_SendCommandReceiveResponse USB_interface_connected=FALSE");
    return STATUS_CR_NOT_CONNECTED;
  }
  const uint32_t request_size = command_size + sizeof(CommandHeader_TS);
  // After a failed exchange the unit may still be sending: its late bytes belong to no command.
  if (!get_device_in_step(context, device, out_of_step, exchange_deadline, transfer_buffer, sizeof transfer_buffer)) {
    report.error(TextWidth::narrow, "USB_SendCommandReceiveResponse the unit does not fall quiet");
    return STATUS_CR_READ_FAILED;
  }
  out_of_step = false;
  if (request_size > USB_TRANSFER_SIZE) {
    report.error(TextWidth::narrow, "USB_SendCommandReceiveResponse command exceeds maximum transfer size of %04x",
                 static_cast<unsigned>(USB_TRANSFER_SIZE));
    return STATUS_CR_COMMAND_TOO_LARGE;
  }

  if (request_size > USB_DEFAULT_REQUEST_SIZE) {
    // The announcement tells the unit a long command follows; only its first four bytes mean anything.
    std::memset(transfer_buffer, 0, USB_DEFAULT_REQUEST_SIZE);
    store_be16(transfer_buffer, EFI_COMMAND_CODE_BASE + COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT);
    store_be16(transfer_buffer + 2, static_cast<uint16_t>(command_size));
    const Outcome announced = write_all(transfer_buffer, USB_DEFAULT_REQUEST_SIZE);
    if (!announced.ok) {
      report.error(TextWidth::narrow,
                   "USB_SendCommandReceiveResponse WriteFile COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT failed0 "
                   "GetLastError = %08x",
                   announced.error);
      return STATUS_CR_WRITE_FAILED;
    }
    if (announced.count != USB_DEFAULT_REQUEST_SIZE) {
      report.error(TextWidth::narrow,
                   "USB_SendCommandReceiveResponse WriteFile COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT failed1 "
                   "GetLastError = %08x",
                   platform::last_error());
      return STATUS_CR_WRITE_FAILED;
    }
  }

  // USB headers travel in the unit's order whatever the host chose for the data.
  put_header(transfer_buffer, command_header, true);
  if (command_size) std::memcpy(transfer_buffer + sizeof(CommandHeader_TS), crm->command_data, command_size);
  const Outcome sent = write_all(transfer_buffer, request_size);
  if (!sent.ok) {
    report.error(TextWidth::narrow, "USB_SendCommandReceiveResponse WriteFile failed0 GetLastError = %08x", sent.error);
    return STATUS_CR_WRITE_FAILED;
  }
  if (sent.count != request_size) {
    report.error(TextWidth::narrow, "USB_SendCommandReceiveResponse WriteFile Command failed1 GetLastError = %08x",
                 platform::last_error());
    return STATUS_CR_WRITE_FAILED;
  }

  // Header and data come in one read when the unit has sent both by then; the transfer buffer
  // takes them, since the data size is known only once the header is in.
  const Outcome header = with_retries<Outcome>([&] {
    return platform::read_device_answer(device, transfer_buffer, sizeof(ResponseHeader_TS), sizeof transfer_buffer,
                                        bounds_within(exchange_deadline));
  });
  if (!header.ok) {
    report.error(TextWidth::narrow, READ_FAILED_TEXT, header.error);
    return STATUS_CR_READ_FAILED;
  }
  if (header.count < sizeof(ResponseHeader_TS)) {
    report.error(TextWidth::narrow, "USB_SendCommandReceiveResponse ReadFile num_bytes_read != sizeof(ResponseHeader_TS)");
    return STATUS_CR_READ_FAILED;
  }
  ResponseHeader_TS* response_header = crm->response_header;
  std::memcpy(response_header, transfer_buffer, sizeof(ResponseHeader_TS));
  SwapHeaderByteOrder(response_header);
  if (response_header->dummy != EFI_RESPONSE_MARKER) return STATUS_CR_BAD_RESPONSE_MARKER;

  const uint32_t returning = response_header->response_data_returning_size;
  // Data bytes that came with the header; any beyond the announced size belong to no command.
  const uint32_t behind = header.count - static_cast<uint32_t>(sizeof(ResponseHeader_TS));
  const uint32_t early = std::min(behind, returning);
  context.discarded(behind - early);
  if (returning == 0) return 0;
  // The data go straight into the host's buffer: only its capacity bounds them.
  if (!response_fits(returning, response_capacity, SIZE_MAX)) {
    auto read_piece = [&](unsigned char* piece, uint32_t size) {
      return read_response_data(report, piece, size, false);
    };
    // The first piece of the drain began with the header's read.
    const uint32_t first = early == 0 ? 0 : std::min<uint32_t>(returning, sizeof transfer_buffer);
    if (const uint32_t status = read_response_data(report, transfer_buffer, first - early, true)) return status;
    context.discarded(first);
    if (const uint32_t status = drain(returning - first, transfer_buffer, sizeof transfer_buffer, read_piece, context.tracer))
      return status;
    return STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
  }
  auto* data = static_cast<unsigned char*>(crm->response_data);
  std::memcpy(data, transfer_buffer + sizeof(ResponseHeader_TS), early);
  if (const uint32_t status = read_response_data(report, data + early, returning - early, early != 0)) return status;
  store_received_size(crm, returning);
  return 0;
}

uint32_t UsbLink::send(const LinkContext& context, CRM* crm) {
  clock = context.clock;
  exchange_deadline = Deadline(clock, EXCHANGE_LIMIT_MS);
  uint32_t result = USB_SendCommandReceiveResponse(context, crm);
  if (result == STATUS_CR_BAD_RESPONSE_MARKER) result = USB_SendCommandReceiveResponse(context, crm);
  // The unit may still be sending what this exchange gave up on: a late answer, or the garbage
  // that twice stood where a header should.
  if (result == STATUS_CR_READ_FAILED || result == STATUS_CR_BAD_RESPONSE_MARKER) out_of_step = true;
  return result;
}

}  // namespace efi
