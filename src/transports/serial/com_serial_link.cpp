#include "transports/serial/com_serial_link.h"

#include <string>

#include "platform/locked_memory.h"
#include "protocol/headers.h"

namespace efi {

namespace {

// This link shows no messages: its buffers are set up quietly.
const Reporter QUIET{MessageSink{}, true};

uint32_t baud_rate_of(uint16_t code) {
  switch (code) {
    case 4: return 1200;
    case 5: return 2400;
    case 7: return 9600;
    case 8: return 19200;
    case 9: return 38400;
    case 10: return 57600;
    case 11: return 115200;
    default: return 0xFFFFFFFFu;
  }
}

uint32_t data_bits_of(uint16_t code) { return code <= 3 ? 5u + code : 0xFFFFFFFFu; }
uint32_t parity_of(uint16_t code) { return code <= 4 ? code : 0xFFFFFFFFu; }
uint32_t stop_bits_of(uint16_t code) { return code <= 2 ? code : 0xFFFFFFFFu; }

uint32_t handshake_of(uint16_t code) {
  switch (code) {
    case 0: return CSerial::HandshakeHardware;
    case 4: return CSerial::HandshakeOff;
    case 7: return CSerial::HandshakeSoftware;
    default: return 0xFFFFFFFFu;
  }
}

}  // namespace

void ComSerialLink::empty_receive_buffer() {
  do receive_.Clear();
  while (receive_.Count() != 0);
}

int32_t ComSerialLink::ComSerialInitializeComport(SerialPortRecord& record) {
  if (!port_) port_ = std::make_unique<CSerialMFC>(receive_);
  const int32_t opened = port_->Open(record.name, 0, 0, 0, 0);
  record.VxDPId = opened;
  // A port that did not open ends here; one that is open already (the other interface's) serves.
  if (opened != 0 && opened != SERIAL_ALREADY_INITIALIZED) return opened;
  if (port_->Setup(baud_rate_of(record.baudCode), data_bits_of(record.lengthCode), parity_of(record.parityCode),
                   stop_bits_of(record.stopCode)) == 0)
    port_->SetupHandshaking(handshake_of(record.protocolCode));
  empty_receive_buffer();
  exchange_.reset();
  return 0;
}

uint32_t ComSerialLink::ComSerialInitializeInterfaces(uint32_t flags) {
  uint32_t result = 0;
  if ((flags & EFI_FLAG_STREAM_INTERFACE) && !stream_initialized_) {
    if (ComSerialInitializeComport(ports_.stream_port) == 0)
      stream_initialized_ = true;
    else
      result = LINK_FAILED;
  }
  if (!(flags & EFI_FLAG_COMMAND_RESPONSE_INTERFACE) || command_response_initialized_) return result;
  const uint32_t number = (flags & EFI_FLAG_SERIAL_PORT_MASK) >> EFI_FLAG_SERIAL_PORT_SHIFT;
  ports_.command_response_port.name = L"COM" + std::to_wstring(number);
  if (ComSerialInitializeComport(ports_.command_response_port) != 0) return LINK_FAILED;
  command_response_initialized_ = true;
  buffers_.set_up(QUIET);
  return result;
}

uint32_t ComSerialLink::ComSerialCloseInterfaces(uint32_t which) {
  uint32_t result = 0;
  if ((which & EFI_CLOSE_STREAM_PORT) && stream_initialized_) {
    if (port_->Close() != 0) result = LINK_FAILED;
    stream_initialized_ = false;
  }
  if ((which & EFI_CLOSE_COMMAND_RESPONSE_PORT) && command_response_initialized_) {
    if (port_->Close() != 0) result = LINK_FAILED;
    command_response_initialized_ = false;
    buffers_.release();
  }
  if ((which & EFI_CLOSE_ALL_PORTS) && port_) {
    for (int time = 0; time < 3; ++time)
      if (port_->Close() != 0) result = LINK_FAILED;
    stream_initialized_ = false;
    command_response_initialized_ = false;
    buffers_.release();
  }
  return result;
}

// A write the line takes no byte of within `timeout_ms` (a peer holding the handshake lines) gives up.
uint32_t ComSerialLink::ComSerialPutPacket(uint32_t count, const void* buffer, uint32_t timeout_ms) {
  uint32_t written = 0;
  if (!port_) return 0;
  port_->Write(buffer, count, &written, nullptr, timeout_ms);
  return written;
}

uint32_t ComSerialLink::ComSerialConnectCommandResponseInterface(const LinkContext& context) {
  const platform::LockedPages temp = locked_byte(QUIET, "ComSerialConnectCommandResponseInterface", "temp");
  if (!temp) return STATUS_CR_LOCKED_BUFFER_FAILED;
  empty_receive_buffer();
  temp.data()[0] = INTERFACE_CONNECTION_INDICATOR;
  if (ComSerialPutPacket(1, temp.data(), SERIAL_BYTE_TIMEOUT_MS) != 1) return LINK_FAILED;
  if (!receive_.WaitFor(1, SERIAL_BYTE_TIMEOUT_MS)) return LINK_FAILED;
  if (receive_.Take(temp.data(), 1) != 1 || temp.data()[0] != NO_CONVERSION_REPLY) return LINK_FAILED;
  if (context.no_conversion) *context.no_conversion = 1;
  return 0;
}

bool ComSerialLink::put(const Reporter&, const void* data, uint32_t size, Piece, const Deadline& deadline) {
  return ComSerialPutPacket(size, data, deadline.remaining_ms()) == size;
}

uint32_t ComSerialLink::read_some(unsigned char* data, uint32_t size, const Deadline& deadline) {
  if (!receive_.WaitFor(1, deadline.remaining_ms())) return 0;
  return static_cast<uint32_t>(receive_.Take(data, static_cast<int32_t>(size)));
}

uint32_t ComSerialLink::ComSerialSendCommandReceiveResponse(const LinkContext& context, CRM* crm) {
  // An interface whose buffers are missing (not initialised, or their set-up failed) sends nothing.
  if (!buffers_.ready() || !port_) return STATUS_CR_LOCKED_BUFFER_FAILED;
  const uint32_t capacity = crm->command_header->response_buffer_size;
  if (crm->command_header->command_data_size > buffers_.data_size()) return STATUS_CR_COMMAND_TOO_LARGE;
  const platform::LockedPages ack = locked_byte(QUIET, "ComSerialSendCommandReceiveResponse", "ack");
  if (!ack) return STATUS_CR_LOCKED_BUFFER_FAILED;

  LockedExchange locked(crm, buffers_, 0);
  bool response_read = false;
  // Any byte acknowledges; whenever no answer comes the host sees status NO_ANSWER_STATUS, never 0
  // and never an earlier answer's status.
  SerialRules rules;
  rules.no_answer_header = true;
  rules.buffer_size = buffers_.data_size();
  const uint32_t status = exchange_.run(context, *this, rules, crm, ack.data(), response_read);
  if (context.convert_headers) SwapHeaderByteOrder(buffers_.command_header());
  locked.finish(response_read ? capacity : 0);
  return status;
}

}  // namespace efi
