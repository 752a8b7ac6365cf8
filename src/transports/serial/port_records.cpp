#include "transports/serial/port_records.h"

#include <efilink/efilink.h>

namespace efi {

namespace {

// The port words of a SerialPortRecord, as the flag word chooses them.
struct PortWords {
  uint16_t port, channel, cardType, cardParameter, base, irq;
};
constexpr PortWords PCI_CARD_CHANNEL_0{0, 0, 1, 0x1000, 0x1415, 0x9501};
constexpr PortWords PCI_CARD_CHANNEL_2{0, 2, 1, 0x1000, 0x1415, 0x9501};
constexpr PortWords LEGACY_PORT_3F8{0, 0, 0, 0, 0x03F8, 4};
constexpr PortWords LEGACY_PORT_2F8{0, 0, 0, 0, 0x02F8, 3};
constexpr PortWords NO_PORT{0, 0, 0, 0, 0, 0};

void write_port_words(SerialPortRecord& record, const PortWords& words) {
  record.port = words.port;
  record.channel = words.channel;
  record.cardType = words.cardType;
  record.cardParameter = words.cardParameter;
  record.base = words.base;
  record.irq = words.irq;
}

// 57600 baud, no parity, 8 data bits, one stop bit, no handshake.
void write_load_time_settings(SerialPortRecord& record) {
  record.baudCode = 10;
  record.parityCode = 0;
  record.lengthCode = 3;
  record.stopCode = 0;
  record.protocolCode = 4;
}

const PortWords& command_response_port_words(uint32_t flags) {
  const bool pci_card = flags & EFI_FLAG_PCI_CARD;
  const bool first_port = flags & EFI_FLAG_SERIAL_FIRST_PORT;
  if (pci_card) return first_port ? PCI_CARD_CHANNEL_0 : PCI_CARD_CHANNEL_2;
  return first_port ? LEGACY_PORT_3F8 : LEGACY_PORT_2F8;
}

}  // namespace

SerialPorts::SerialPorts() {
  write_port_words(stream_port, PCI_CARD_CHANNEL_0);
  write_load_time_settings(stream_port);
  write_port_words(command_response_port, NO_PORT);
  write_load_time_settings(command_response_port);
}

void SerialPorts::select(uint32_t flags) {
  command_response_port.name = L"COM0";
  if (flags & EFI_FLAG_SERIAL_PORT_MASK) write_port_words(command_response_port, command_response_port_words(flags));
}

}  // namespace efi
