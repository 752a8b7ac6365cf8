#include "transports/usb/usb_link.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"
#include "platform/system_error.h"
#include "protocol/headers.h"
#include "transports/common/device_path.h"
#include "transports/common/framing.h"

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
  return with_retries<Outcome>([&] { return platform::write_device(device, data, size); });
}

platform::TransferBounds UsbLink::read_bounds() const {
  const uint32_t left = exchange_deadline.remaining_ms();
  platform::TransferBounds bounds;
  bounds.first_byte_ms = std::min(bounds.first_byte_ms, left);
  bounds.total_ms = left;
  return bounds;
}

UsbLink::Outcome UsbLink::read_into(void* data, uint32_t size) {
  return with_retries<Outcome>([&] { return platform::read_device(device, data, size, read_bounds()); });
}

// Reads exactly `size` bytes of response data; 0, or STATUS_CR_READ_FAILED after its message.
uint32_t UsbLink::read_response_data(const Reporter& report, void* data, uint32_t size) {
  const Outcome read = read_into(data, size);
  if (!read.ok) {
    report.error(TextWidth::narrow, READ_FAILED_TEXT, read.error);
    return STATUS_CR_READ_FAILED;
  }
  if (read.count != size) {
    report.error(TextWidth::narrow, WASTED_TEXT);
    return STATUS_CR_READ_FAILED;
  }
  return 0;
}

// Reads the `size` bytes that follow data already read: as within one read, the line may stay
// quiet only as long as between bytes; 0, or STATUS_CR_READ_FAILED after its message.
uint32_t UsbLink::read_rest(const Reporter& report, void* data, uint32_t size) {
  if (size == 0) return 0;
  platform::TransferBounds bounds = read_bounds();
  bounds.first_byte_ms = std::min(bounds.first_byte_ms, bounds.quiet_ms);
  const platform::Transfer read = platform::read_device(device, data, size, bounds);
  if (read.ok && read.count == size) return 0;
  report.error(TextWidth::narrow, WASTED_TEXT);
  return STATUS_CR_READ_FAILED;
}

uint32_t UsbLink::get_in_step() {
  // Bytes still waiting from an earlier exchange (a late or overlong answer) belong to no command.
  uint32_t discarded = platform::discard_input(device);
  if (!out_of_step) return discarded;
  // Until the line has been quiet for USB_SETTLE_MS, however long a unit keeps talking.
  const Deadline limit(clock, USB_EXCHANGE_LIMIT_MS);
  while (!limit.expired()) {
    const uint32_t left = limit.remaining_ms();
    const platform::TransferBounds settle{std::min(USB_SETTLE_MS, left), USB_SETTLE_MS, left};
    const platform::Transfer read = platform::read_device(device, transfer_buffer, sizeof transfer_buffer, settle);
    if (!read.ok) break;
    discarded += read.count;
  }
  out_of_step = false;
  return discarded;
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
  context.discarded(get_in_step());
  exchange_deadline = Deadline(clock, USB_EXCHANGE_LIMIT_MS);
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
                                        read_bounds());
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
    auto read_piece = [&](unsigned char* piece, uint32_t size) { return read_response_data(report, piece, size); };
    // The first piece of the drain began with the header's read.
    const uint32_t first = early == 0 ? 0 : std::min<uint32_t>(returning, sizeof transfer_buffer);
    if (const uint32_t status = read_rest(report, transfer_buffer, first - early)) return status;
    context.discarded(first);
    if (const uint32_t status = drain(returning - first, transfer_buffer, sizeof transfer_buffer, read_piece, context.tracer))
      return status;
    return STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
  }
  auto* data = static_cast<unsigned char*>(crm->response_data);
  std::memcpy(data, transfer_buffer + sizeof(ResponseHeader_TS), early);
  const uint32_t status =
      early == 0 ? read_response_data(report, data, returning) : read_rest(report, data + early, returning - early);
  if (status) return status;
  store_received_size(crm, returning);
  return 0;
}

uint32_t UsbLink::send(const LinkContext& context, CRM* crm) {
  uint32_t result = USB_SendCommandReceiveResponse(context, crm);
  if (result == STATUS_CR_BAD_RESPONSE_MARKER) result = USB_SendCommandReceiveResponse(context, crm);
  if (result == STATUS_CR_READ_FAILED) out_of_step = true;
  return result;
}

}  // namespace efi
