#include "transports/net/bluetooth_link.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/awake.h"
#include "platform/system_error.h"
#include "protocol/headers.h"
#include "protocol/status.h"
#include "transports/common/device_in_step.h"
#include "transports/common/device_path.h"
#include "transports/common/framing.h"
#include "transports/common/in_step.h"

namespace efi {

namespace {

constexpr const char* AWAKE_FAILED_TEXT = "The function SetThreadExecutionState fails.\n";

// The exchange shows its errors whether or not the host suppressed messages.
__attribute__((format(printf, 2, 3))) void show(const Reporter& report, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  report.always(ERROR_TITLE, TextWidth::narrow, "%s", text);
}

void print_read_failed() { print_line("Read failed. Error: %d\n", static_cast<int>(platform::last_error())); }

}  // namespace

// What one exchange comes to: the send's result, and whether the whole response data arrived.
struct BluetoothLink::Outcome {
  uint32_t status = 0;
  bool complete = false;
};

BluetoothLink::~BluetoothLink() {
  if (Bluetooth_CRInitialized) platform::keep_awake(false);
}

uint32_t BluetoothLink::initialize(const LinkContext& context, uint32_t, const char*) {
  const Reporter& report = context.report;
  if (Bluetooth_CRInitialized) {
    report.error(TextWidth::narrow, "Bluetooth_CRInitialized COMMAND_RESPONSE_INTERFACE already initialized");
    return 0;
  }
  char path[BLUETOOTH_DEVICE_PATH_SIZE] = {};
  if (!find_device_path(report, BLUETOOTH_DEVICE_SEARCH, BLUETOOTH_DEVICE_CLASS, 0, path, sizeof path)) {
    print_line("Failed to get the device interface detail data\n");
    return LINK_FAILED;
  }
  print_line("DevicePath: %s\n", path);
  device = platform::open_device(path, platform::DeviceSharing::shared);
  if (!device) {
    print_line("Failed to open device. Error %d\n", static_cast<int>(platform::last_error()));
    return LINK_FAILED;
  }
  print_line("Opened device successfully\n");
  if (!platform::keep_awake(true)) print_line("%s", AWAKE_FAILED_TEXT);
  Bluetooth_CRInitialized = 1;
  if (!locked_buffers_set_up) {
    buffers.set_up(report);
    locked_buffers_set_up = true;
  }
  return 0;
}

uint32_t BluetoothLink::close(const LinkContext&, uint32_t) {
  if (Bluetooth_CRInitialized) {
    device.reset();
    if (!platform::keep_awake(false)) print_line("%s", AWAKE_FAILED_TEXT);
    Bluetooth_CRInitialized = 0;
  }
  return 0;
}

// Writes the header, then the data in pieces. False when the header could not go out; a piece that
// fails ends the writing, but the response is still read.
bool BluetoothLink::write_command(const Reporter& report, uint32_t command_size, const Deadline& deadline) {
  auto send_error = [&report] {
    print_line("Bluetooth_SendCommandReceiveResponse send error. Error: %d\n", static_cast<int>(platform::last_error()));
    show(report, " Bluetooth_SendCommandReceiveResponse send error");
  };
  const platform::Transfer header =
      platform::write_device(device, buffers.command_header(), sizeof(CommandHeader_TS), bounds_within(deadline));
  if (!header.ok || header.count != sizeof(CommandHeader_TS)) {
    send_error();
    return false;
  }
  print_line("Command header was sent successfully !\n\r");
  for (uint32_t at = 0; at < command_size; at += BLUETOOTH_WRITE_PIECE) {
    const uint32_t piece = std::min(BLUETOOTH_WRITE_PIECE, command_size - at);
    const platform::Transfer sent =
        platform::write_device(device, buffers.command_data() + at, piece, bounds_within(deadline));
    if (!sent.ok || sent.count != piece) {
      send_error();
      break;
    }
    print_line("Command data was sent successfully! Data size: 0x%x\n\r", sent.count);
  }
  return true;
}

// Reads `size` bytes, a read of at most a piece at a time, until they are all in, a read fails or
// brings nothing, or the exchange's time is up; the count read. With `progress`, a line for each
// piece and for a read that failed.
uint32_t BluetoothLink::read_data(unsigned char* data, uint32_t size, const Deadline& deadline, bool progress) {
  auto read_some = [&](unsigned char* at, uint32_t wanted) -> int64_t {
    const platform::Transfer piece =
        platform::read_device(device, at, std::min(wanted, BLUETOOTH_READ_PIECE), bounds_within(deadline));
    if (!piece.ok || piece.count == 0) {
      if (progress) print_read_failed();
      return 0;
    }
    if (progress) print_line("Response OK. Data size: 0x%x\n\r", piece.count);
    return piece.count;
  };
  return read_exactly(data, size, read_some);
}

BluetoothLink::Outcome BluetoothLink::receive_response(const LinkContext& context, CRM* crm, uint32_t capacity,
                                                       const Deadline& deadline) {
  const Reporter& report = context.report;
  ResponseHeader_TS* header = buffers.response_header();
  const platform::Transfer got =
      platform::read_device(device, header, sizeof(ResponseHeader_TS), bounds_within(deadline));
  if (!got.ok || got.count == 0) {
    print_read_failed();
    return {STATUS_CR_READ_FAILED, false};
  }
  print_line("Response header OK \n\r");
  if (context.convert_headers) SwapHeaderByteOrder(header);
  // A header cut short is a read that failed, whichever check notices it first.
  const uint32_t header_status = got.count != sizeof(ResponseHeader_TS) ? STATUS_CR_READ_FAILED : 0;
  if (header->dummy != EFI_RESPONSE_MARKER) {
    show(report, "Bluetooth_SendCommandReceiveResponse pCRM->response_header->dummy != 0x55AA");
    return {header_status, false};
  }
  if (header_status != 0) {
    show(report, "Bluetooth_SendCommandReceiveResponse bytes_received != sizeof(ResponseHeader_TS)");
    return {header_status, false};
  }
  const uint32_t returning = header->response_data_returning_size;
  if (returning == 0) {
    show(report, "Bluetooth_SendCommandReceiveResponse pCRM->response_header->response_data_returning_size == 0");
    return {};
  }
  if (returning > TS_MAX_TRANSFERSTRUCTS_SIZE) {
    show(report, " Bluetooth_SendCommandReceiveResponse ReceiveDataSize is begger than TS_MAX_TRANSFERSTRUCTS_SIZE : 0x%x",
         TS_MAX_TRANSFERSTRUCTS_SIZE);
    // None of it is kept, but all of it is read, so that the next response starts where it should.
    auto read_piece = [&](unsigned char* piece, uint32_t size) {
      return read_data(piece, size, deadline, false) == size ? 0 : STATUS_CR_READ_FAILED;
    };
    drain(returning, buffers.response_data(), buffers.data_size(), read_piece, context.tracer);
    return {LINK_FAILED, false};
  }

  const uint32_t received = read_data(buffers.response_data(), returning, deadline, true);
  // All of a response the host has no room for is read, so the line stays in step; the host gets
  // what fits and no received size.
  const uint32_t status = returning > capacity ? STATUS_CR_RESPONSE_BUFFER_TOO_SMALL : 0;
  // The unit stopped before its announced data were all there: the exchange failed, whatever
  // status its header carries.
  if (received != returning) {
    show(report,
         "Bluetooth_SendCommandReceiveResponse payload_transferred != pCRM->response_header->response_data_returning_size");
    return {STATUS_CR_READ_FAILED, false};
  }
  if (status == 0) store_received_size(crm, returning);
  return {status, true};
}

uint32_t BluetoothLink::send(const LinkContext& context, CRM* crm) {
  const Reporter& report = context.report;
  const uint32_t command_size = crm->command_header->command_data_size;
  const uint32_t capacity = crm->command_header->response_buffer_size;
  if (command_size > TS_MAX_TRANSFERSTRUCTS_SIZE) {
    show(report, " Bluetooth_SendCommandReceiveResponse CommandDataSize is begger than TS_MAX_TRANSFERSTRUCTS_SIZE : 0x%x",
         TS_MAX_TRANSFERSTRUCTS_SIZE);
    return LINK_FAILED;
  }
  if (!buffers.ready()) return STATUS_CR_LOCKED_BUFFER_FAILED;

  LockedExchange exchange(crm, buffers, 0);
  // Whatever fails below, the host never gets the header of an earlier exchange.
  *buffers.response_header() = ResponseHeader_TS{};
  if (context.convert_headers) SwapHeaderByteOrder(buffers.command_header());
  const Deadline deadline(context.clock, EXCHANGE_LIMIT_MS);
  Outcome outcome;
  // Bytes a unit sent after an exchange went wrong (noise, a late answer) would be taken for this
  // response. The response data buffer takes them: the host gets from it only data this exchange's
  // response put there.
  if (!get_device_in_step(context, device, out_of_step, deadline, buffers.response_data(),
                          static_cast<uint32_t>(buffers.data_size()))) {
    print_line("The unit does not fall quiet: the command was not sent.\n");
    outcome.status = STATUS_CR_READ_FAILED;
  } else if (write_command(report, command_size, deadline)) {
    outcome = receive_response(context, crm, capacity, deadline);
  } else {
    outcome.status = STATUS_CR_WRITE_FAILED;
  }
  if (context.convert_headers) SwapHeaderByteOrder(buffers.command_header());
  out_of_step = !outcome.complete;
  // Response data go back only when all of them arrived.
  exchange.finish(outcome.complete ? capacity : 0);
  return outcome.status;
}

}  // namespace efi
