#include "transports/net/bluetooth_link.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/awake.h"
#include "platform/device_interface.h"
#include "platform/system_error.h"
#include "protocol/headers.h"
#include "protocol/status.h"
#include "transports/common/framing.h"

namespace efi {

namespace {

// The device search has its own caption for the system's error texts.
constexpr const char* LOOKUP_ERROR_TITLE = "Error";
constexpr const char* AWAKE_FAILED_TEXT = "The function SetThreadExecutionState fails.\n";

// Progress and failures of the device search and of the exchange go to the host's standard output.
__attribute__((format(printf, 1, 2))) void print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

// The exchange shows its errors whether or not the host suppressed messages.
__attribute__((format(printf, 2, 3))) void show(const Reporter& report, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  report.always(ERROR_TITLE, TextWidth::narrow, "%s", text);
}

void print_read_failed() { print("Read failed. Error: %d\n", static_cast<int>(platform::last_error())); }

// Finds the first device of the Bluetooth class; false, after its lines, when there is none.
bool Bluetooth_GetDevicePath(const Reporter& report, char* path, size_t path_size) {
  using Step = platform::DeviceLookupStep;
  const platform::DeviceLookup lookup = platform::find_device_interface(BLUETOOTH_DEVICE_CLASS, 0, path, path_size);
  switch (lookup.failed_step) {
    case Step::none:
      return true;
    case Step::class_list:
      // Without a device list there is nothing to open: the initialisation fails, the host lives on.
      print("SetupDiGetClassDevs failed!\n");
      return false;
    case Step::enumerate:
      if (const std::string text = platform::system_error_text(lookup.error); !text.empty())
        print("Error: %s", text.c_str());
      print("SetupDiEnumDeviceInterfaces failed.\n");
      return false;
    case Step::allocate:
      print("Failed to allocate memory.\n");
      return false;
    case Step::detail:
      if (const std::string text = platform::system_error_text(lookup.error); !text.empty())
        report.always(LOOKUP_ERROR_TITLE, TextWidth::wide, "%s", text.c_str());
      print("Error in SetupDiGetDeviceInterfaceDetail\n");
      return false;
    case Step::convert:
      print("Error in SetupDiGetDeviceInterfaceDetail\n");
      return false;
  }
  return false;
}

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
  if (!Bluetooth_GetDevicePath(report, path, sizeof path)) {
    print("Failed to get the device interface detail data\n");
    return LINK_FAILED;
  }
  print("DevicePath: %s\n", path);
  device = platform::open_device(path, platform::DeviceSharing::shared);
  if (!device) {
    print("Failed to open device. Error %d\n", static_cast<int>(platform::last_error()));
    return LINK_FAILED;
  }
  print("Opened device successfully\n");
  if (!platform::keep_awake(true)) print("%s", AWAKE_FAILED_TEXT);
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
    if (!platform::keep_awake(false)) print("%s", AWAKE_FAILED_TEXT);
    Bluetooth_CRInitialized = 0;
  }
  return 0;
}

// Bytes that a unit sent after an exchange went wrong (noise, a late answer) would be taken for the
// next response: whatever already waits on the line is dropped before a command goes out, and after
// an exchange that did not complete the line must first stay quiet for a second (the unit may still
// be answering the failed command). A unit that never stops talking is given up on after a few
// buffers' worth.
uint32_t BluetoothLink::discard_stale_input() {
  constexpr platform::TransferBounds NO_WAIT{0, 0};
  constexpr platform::TransferBounds SETTLE{1000, 1000, 10000};
  const platform::TransferBounds bounds = out_of_step ? SETTLE : NO_WAIT;
  out_of_step = false;
  uint32_t discarded = 0;
  for (int round = 0; round < 16; ++round) {
    const platform::Transfer stale =
        platform::read_device(device, buffers.response_data(), static_cast<uint32_t>(buffers.data_size()), bounds);
    if (!stale.ok || stale.count == 0) break;
    discarded += stale.count;
  }
  return discarded;
}

// Writes the header, then the data in pieces. False when the header could not go out; a piece that
// fails ends the writing, but the response is still read.
bool BluetoothLink::write_command(const Reporter& report, uint32_t command_size) {
  auto send_error = [&report] {
    print("Bluetooth_SendCommandReceiveResponse send error. Error: %d\n", static_cast<int>(platform::last_error()));
    show(report, " Bluetooth_SendCommandReceiveResponse send error");
  };
  const platform::Transfer header = platform::write_device(device, buffers.command_header(), sizeof(CommandHeader_TS));
  if (!header.ok || header.count != sizeof(CommandHeader_TS)) {
    send_error();
    return false;
  }
  print("Command header was sent successfully !\n\r");
  for (uint32_t at = 0; at < command_size; at += BLUETOOTH_WRITE_PIECE) {
    const uint32_t piece = std::min(BLUETOOTH_WRITE_PIECE, command_size - at);
    const platform::Transfer sent = platform::write_device(device, buffers.command_data() + at, piece);
    if (!sent.ok || sent.count != piece) {
      send_error();
      break;
    }
    print("Command data was sent successfully! Data size: 0x%x\n\r", sent.count);
  }
  return true;
}

// Reads exactly `size` bytes, a read of at most a piece at a time; false when a read fails or
// brings nothing.
bool BluetoothLink::read_exactly(unsigned char* data, uint32_t size) {
  while (size > 0) {
    const platform::Transfer got = platform::read_device(device, data, std::min(size, BLUETOOTH_READ_PIECE));
    if (!got.ok || got.count == 0) return false;
    data += got.count;
    size -= got.count;
  }
  return true;
}

BluetoothLink::Outcome BluetoothLink::receive_response(const LinkContext& context, CRM* crm, uint32_t capacity) {
  const Reporter& report = context.report;
  ResponseHeader_TS* header = buffers.response_header();
  const platform::Transfer got = platform::read_device(device, header, sizeof(ResponseHeader_TS));
  if (!got.ok || got.count == 0) {
    print_read_failed();
    return {STATUS_CR_READ_FAILED, false};
  }
  print("Response header OK \n\r");
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
    auto read_piece = [this](unsigned char* piece, uint32_t size) { return read_exactly(piece, size) ? 0u : 1u; };
    drain(returning, buffers.response_data(), buffers.data_size(), read_piece, context.tracer);
    return {LINK_FAILED, false};
  }

  uint32_t received = 0;
  while (received < returning) {
    const uint32_t asked = std::min(BLUETOOTH_READ_PIECE, returning - received);
    const platform::Transfer piece = platform::read_device(device, buffers.response_data() + received, asked);
    if (!piece.ok || piece.count == 0) {
      print_read_failed();
      break;
    }
    print("Response OK. Data size: 0x%x\n\r", piece.count);
    received += piece.count;
  }
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
  context.discarded(discard_stale_input());
  Outcome outcome;
  if (write_command(report, command_size))
    outcome = receive_response(context, crm, capacity);
  else
    outcome.status = STATUS_CR_WRITE_FAILED;
  if (context.convert_headers) SwapHeaderByteOrder(buffers.command_header());
  out_of_step = !outcome.complete;
  // Response data go back only when all of them arrived.
  exchange.finish(outcome.complete ? capacity : 0);
  return outcome.status;
}

}  // namespace efi
