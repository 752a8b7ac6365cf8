#include "transports/serial/uart_serial_link.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/locked_memory.h"
#include "platform/system_error.h"
#include "protocol/headers.h"
#include "transports/common/deadline.h"
#include "transports/common/in_step.h"

namespace efi {

namespace {

// The PCI card's clock divided by the baud rate: 1,152,000 / rate.
struct Divisor {
  uint16_t baud_code;
  int32_t divisor;
};
constexpr Divisor PCI_CARD_DIVISORS[] = {{2, 3840}, {3, 1920}, {4, 960}, {5, 480}, {6, 240},
                                         {7, 120},  {8, 60},   {9, 30},  {10, 20}, {11, 10}};

bool is_pci_card(const SerialPortRecord& record) { return record.base == 0x1415 && record.irq == 0x9501; }

// The fields of the driver's port statistics that the dump shows, in its order.
struct PortParam {
  const char* name;
  uint16_t offset;
  uint8_t size;
};
constexpr PortParam PORT_PARAMS[] = {
    {"VTotalIn", 0x00, 4},       {"VTotalOut", 0x04, 4},      {"VInBufCnt", 0x08, 4},      {"VOutBufCnt", 0x0C, 4},
    {"VIRingSize", 0x10, 4},     {"VORingSize", 0x14, 4},     {"VMSRIntCnt", 0x18, 4},     {"VLSRIntCnt", 0x1C, 4},
    {"VXmtIntCnt", 0x20, 4},     {"VRcvIntCnt", 0x24, 4},     {"VRcvLostCnt", 0x28, 4},    {"VXmtLostCnt", 0x2C, 4},
    {"VOFlushCnt", 0x30, 4},     {"VIFlushCnt", 0x34, 4},     {"VMSRReg", 0x38, 1},        {"VLSRReg", 0x39, 1},
    {"VTypeUART", 0x3A, 1},      {"VPort", 0x3C, 2},          {"VBase", 0x3E, 2},          {"VIrq", 0x40, 2},
    {"VBaud", 0x42, 2},          {"VLength", 0x46, 2},        {"VParity", 0x48, 2},        {"VStopbit", 0x4A, 2},
    {"VProtocol", 0x4C, 2},      {"VCurOverrunCnt", 0x58, 4}, {"VCurParityCnt", 0x5C, 4},  {"VCurFramingCnt", 0x60, 4},
    {"VCurBreakCnt", 0x64, 4},   {"VBytesRead", 0x68, 4},     {"VBytesWrite", 0x6C, 4},
};
static_assert(sizeof PORT_PARAMS / sizeof PORT_PARAMS[0] == 31);

uint32_t widened(const unsigned char* record, const PortParam& param) {
  uint32_t value = 0;
  for (int byte = 0; byte < param.size; ++byte) value |= static_cast<uint32_t>(record[param.offset + byte]) << (8 * byte);
  return value;
}

}  // namespace

bool UartSerialLink::load_driver(const Reporter& report) {
  const std::string wanted = libraries_.file(AdapterLibrary::uart_driver);
  // A driver with open ports stays; the host's new choice applies once they are closed.
  if (driver_.bound() && (wanted == driver_file_ || stream_initialized_ || command_response_initialized_)) return true;
  std::string missing;
  if (!driver_.bind(wanted, missing)) {
    if (missing.empty())
      report.error(TextWidth::narrow, "SerialInitializeInterfaces LoadLibrary %s failed GetLastError = %08x",
                   wanted.c_str(), platform::last_error());
    else
      report.error(TextWidth::narrow, "SerialInitializeInterfaces GetProcAddress %s failed", missing.c_str());
    return false;
  }
  driver_file_ = wanted;
  library_initialized_ = false;
  released_ports_ = 0;
  return true;
}

void UartSerialLink::SerialDebugMetricsDump(const Reporter& report, int32_t port_id) {
  unsigned char record[PORT_PARAMS_SIZE] = {};
  const int32_t status = driver_.WCSCVxDGetPort(port_id, record, 1);
  if (status != 0) {
    report.always(ERROR_TITLE, TextWidth::narrow, "SerialDebugMetricsDump WCSCVxDGetPort failed WCSC_status = %08x",
                  static_cast<uint32_t>(status));
    return;
  }
  std::string text;
  for (const PortParam& param : PORT_PARAMS) {
    char line[64];
    std::snprintf(line, sizeof line, "my_port_params.%-15s= %08x\n", param.name, widened(record, param));
    text += line;
  }
  report.always("SerialDebugMetricsDump", TextWidth::narrow, "%s", text.c_str());
}

uint32_t UartSerialLink::SerialInitializeComport(const Reporter& report, SerialPortRecord& record) {
  if (!library_initialized_) {
    if (const int32_t status = driver_.WCSCVxDInit()) {
      report.error(TextWidth::narrow, "  SerialReadThread WCSCVxDInit failed WCSC_status = %08x",
                   static_cast<uint32_t>(status));
      return static_cast<uint32_t>(status);
    }
    library_initialized_ = true;
  }
  record.VxDPId = driver_.WCSCVxDOpenPort(record.port, record.base, record.irq, record.cardType, record.channel,
                                          record.cardParameter, 0);
  if (record.VxDPId < 0) {
    report.error(TextWidth::narrow,
                 "  SerialInitializeComport WCSCVxDOpenPort failed WCSC_status = p_comport->VxDPId = %08x",
                 static_cast<uint32_t>(record.VxDPId));
    return static_cast<uint32_t>(record.VxDPId);
  }
  const int32_t port_id = record.VxDPId;
  if (&record == &ports_.command_response_port) exchange_.reset();
  if (port_id <= 2) released_ports_ &= static_cast<uint8_t>(~(1u << port_id));
  if (is_pci_card(record)) {
    const Divisor* divisor = nullptr;
    for (const Divisor& row : PCI_CARD_DIVISORS)
      if (row.baud_code == record.baudCode) divisor = &row;
    // No divisor for the code: the card cannot run at that rate.
    const int32_t status = divisor ? driver_.WCSCVxDSetBaudDiv(record.baudCode, divisor->divisor) : 1;
    if (status != 0) {
      report.error(TextWidth::narrow, "  SerialInitializeComport WCSCVxDSetBaudDiv failed WCSC_status = %08x",
                   static_cast<uint32_t>(status));
      return static_cast<uint32_t>(status);
    }
  }
  if (const int32_t status = driver_.WCSCVxDSetPortCharacteristics(port_id, record.baudCode, record.parityCode,
                                                                    record.lengthCode, record.stopCode,
                                                                    record.protocolCode)) {
    report.error(TextWidth::narrow, "  SerialReadThread WCSCVxDSetPortCharacteristics failed WCSC_status = %08x",
                 static_cast<uint32_t>(status));
    return static_cast<uint32_t>(status);
  }
  SerialDebugMetricsDump(report, port_id);
  if (const int32_t status = driver_.WCSCVxDFlush(port_id, 2)) {
    report.error(TextWidth::narrow, "  SerialReadThread WCSCVxDFlush failed WCSC_status = %08x",
                 static_cast<uint32_t>(status));
    return static_cast<uint32_t>(status);
  }
  SerialDebugMetricsDump(report, port_id);
  return 0;
}

uint32_t UartSerialLink::SerialInitializeInterfaces(const LinkContext& context, uint32_t flags) {
  const Reporter& report = context.report;
  if (!load_driver(report)) return LINK_FAILED;
  uint32_t result = 0;
  if (flags & EFI_FLAG_STREAM_INTERFACE) {
    if (stream_initialized_) {
      report.error(TextWidth::narrow, "SerialInitializeInterfaces SerialInitializeComport STREAM already initialized");
    } else if (const uint32_t status = SerialInitializeComport(report, ports_.stream_port)) {
      report.error(TextWidth::narrow,
                   "  SerialInitializeInterfaces SerialInitializeComport STREAM failed WCSC_status = %08x", status);
      result = LINK_FAILED;
    } else {
      stream_initialized_ = true;
    }
  }
  if (!(flags & EFI_FLAG_COMMAND_RESPONSE_INTERFACE)) return result;
  if (command_response_initialized_) {
    report.error(TextWidth::narrow,
                 "SerialInitializeInterfaces SerialInitializeComport COMMAND_RESPONSE_INTERFACE already initialized");
    return result;
  }
  if (const uint32_t status = SerialInitializeComport(report, ports_.command_response_port)) {
    report.error(TextWidth::narrow, "  SerialInitializeInterfaces SerialInitializeComport CR failed WCSC_status = %08x",
                 status);
    return LINK_FAILED;
  }
  command_response_initialized_ = true;
  buffers_.set_up(report);
  return result;
}

uint32_t UartSerialLink::cleanup(const Reporter& report, int32_t port_id) {
  const bool tracked = port_id >= 0 && port_id <= 2;
  if (tracked) {
    if (released_ports_ & (1u << port_id)) return 0;
    // Asked once, whatever the answer: a port the driver could not release is not asked again.
    released_ports_ |= static_cast<uint8_t>(1u << port_id);
  }
  if (const int32_t status = driver_.WCSCVxDCleanup(port_id)) {
    report.error(TextWidth::narrow, "  SerialReadThread WCSCVxDCleanup failed WCSC_status = %08x",
                 static_cast<uint32_t>(status));
    return LINK_FAILED;
  }
  return 0;
}

uint32_t UartSerialLink::SerialCloseInterfaces(const LinkContext& context, uint32_t which) {
  const Reporter& report = context.report;
  uint32_t result = 0;
  if (which & EFI_CLOSE_STREAM_PORT) {
    if (stream_initialized_) {
      result |= cleanup(report, ports_.stream_port.VxDPId);
      stream_initialized_ = false;
    } else {
      report.error(TextWidth::narrow, "SerialCloseInterfaces STREAM_INTERFACE NOT initialized");
    }
  }
  if (which & EFI_CLOSE_COMMAND_RESPONSE_PORT) {
    if (command_response_initialized_) {
      result |= cleanup(report, ports_.command_response_port.VxDPId);
      command_response_initialized_ = false;
      buffers_.release();
    } else {
      report.error(TextWidth::narrow, "SerialCloseInterfaces COMMAND_RESPONSE_INTERFACE NOT initialized");
    }
  }
  if (which & EFI_CLOSE_ALL_PORTS) {
    // Without a driver no port can be open.
    if (driver_.bound())
      for (int32_t port_id = 0; port_id <= 2; ++port_id) result |= cleanup(report, port_id);
    stream_initialized_ = false;
    command_response_initialized_ = false;
    buffers_.release();
  }
  return result;
}

uint32_t UartSerialLink::SerialConnectCommandResponseInterface(const LinkContext& context) {
  const Reporter& report = context.report;
  if (!driver_.bound()) return LINK_FAILED;
  const platform::LockedPages temp = locked_byte(report, "SerialConnectCommandResponseInterface", "temp");
  if (!temp) return STATUS_CR_LOCKED_BUFFER_FAILED;
  const int32_t port_id = ports_.command_response_port.VxDPId;
  if (const int32_t status = driver_.WCSCVxDFlush(port_id, 2))
    report.error(TextWidth::narrow, "SerialConnectCommandResponseInterface WCSCVxDFlush failed WCSC_status = %08x",
                 static_cast<uint32_t>(status));
  temp.data()[0] = INTERFACE_CONNECTION_INDICATOR;
  int32_t count = driver_.WCSCVxDPutPacket(port_id, 1, temp.data());
  if (count == 1) {
    platform::sleep_ms(20);
    count = driver_.WCSCVxDGetPacket(port_id, 1, temp.data());
  }
  if (count != 1) {
    report.error(TextWidth::narrow, "SerialConnectCommandResponseInterface WCSCVxDGetPacket failed WCSC_status = %08x",
                 static_cast<uint32_t>(count));
    return LINK_FAILED;
  }
  if (temp.data()[0] == NO_CONVERSION_REPLY || temp.data()[0] == INTERFACE_CONNECTION_INDICATOR) {
    if (context.no_conversion) *context.no_conversion = temp.data()[0] == NO_CONVERSION_REPLY ? 1 : 0;
    return 0;
  }
  report.error(TextWidth::narrow,
               "SerialConnectCommandResponseInterface WCSCVxDGetPacket *temp != (char) INTERFACE_CONNECTION_INDICATOR");
  return LINK_FAILED;
}

// The driver queues what it is given at once: it has nothing to wait for.
bool UartSerialLink::put(const Reporter& report, const void* data, uint32_t size, Piece piece, const Deadline&) {
  const int32_t count = driver_.WCSCVxDPutPacket(ports_.command_response_port.VxDPId, static_cast<int32_t>(size), data);
  if (count == static_cast<int32_t>(size)) return true;
  const char* text = piece == Piece::command_header
                         ? "SerialSendCommandReceiveResponse WCSCVxDPutPacket command header failed WCSC_status = %08x"
                     : piece == Piece::command_data
                         ? "SerialSendCommandReceiveResponse WCSCVxDPutPacket command data failed WCSC_status = %08x"
                         : "  SerialSendCommandReceiveResponse WCSCVxDPutPacket failed WCSC_status = %08x";
  report.error(TextWidth::narrow, text, static_cast<uint32_t>(count));
  return false;
}

uint32_t UartSerialLink::read_some(unsigned char* data, uint32_t size, const Deadline& deadline) {
  // The driver has no event to wait on: it is asked again, soon at first and then every
  // UART_POLL_STEP_MS, until a byte comes or the deadline passes.
  uint32_t got = 0;
  poll_until(deadline, UART_FIRST_POLL_US, UART_POLL_STEP_MS, [&] {
    const int32_t count = driver_.WCSCVxDGetPacket(ports_.command_response_port.VxDPId, static_cast<int32_t>(size), data);
    if (count <= 0) return false;
    got = count < static_cast<int32_t>(size) ? static_cast<uint32_t>(count) : size;
    return true;
  });
  return got;
}

void UartSerialLink::tell_silence(const Reporter& report, bool limit) {
  if (limit)
    report.error(TextWidth::narrow, "SerialSendCommandReceiveResponse exchange not done within %u ms",
                   static_cast<unsigned>(EXCHANGE_LIMIT_MS));
  else
    report.error(TextWidth::narrow, "SerialSendCommandReceiveResponse WCSCVxDGetPacket no byte for %u ms",
                   static_cast<unsigned>(SERIAL_BYTE_TIMEOUT_MS));
}

void UartSerialLink::tell_bad_acknowledge(const Reporter& report) {
  report.error(TextWidth::narrow, "SerialSendCommandReceiveResponse *ack != (char) COMMAND_TYPE_INDICATOR");
}

void UartSerialLink::tell_too_small(const Reporter& report) {
  report.error(TextWidth::narrow, "  SerialSendCommandReceiveResponse STATUS_CR_RESPONSE_BUFFER_TOO_SMALL");
}

uint32_t UartSerialLink::SerialSendCommandReceiveResponse(const LinkContext& context, CRM* crm) {
  const Reporter& report = context.report;
  // An interface whose buffers are missing (not initialised, or their set-up failed) sends nothing.
  if (!buffers_.ready() || !driver_.bound()) return STATUS_CR_LOCKED_BUFFER_FAILED;
  const uint32_t capacity = crm->command_header->response_buffer_size;
  if (crm->command_header->command_data_size > SERIAL_BUFFER_SIZE) return STATUS_CR_COMMAND_TOO_LARGE;
  const platform::LockedPages ack = locked_byte(report, "SerialSendCommandReceiveResponse", "ack");
  if (!ack) return STATUS_CR_LOCKED_BUFFER_FAILED;

  LockedExchange locked(crm, buffers_, 0);
  bool response_read = false;
  // The exchange polls the driver in steps of a few milliseconds and less, which must be that
  // short on Windows too.
  const platform::ShortSleeps short_sleeps;
  SerialRules rules;
  rules.strict_acknowledge = true;
  rules.buffer_size = SERIAL_BUFFER_SIZE;
  const uint32_t status = exchange_.run(context, *this, rules, crm, ack.data(), response_read);
  if (context.convert_headers) SwapHeaderByteOrder(buffers_.command_header());
  locked.finish(response_read ? capacity : 0);
  return status;
}

}  // namespace efi
