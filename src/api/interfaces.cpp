#include <sstream>

#include "api/process_state.h"
#include "platform/clock.h"

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

void install(TransportTable& table, const TransportDescriptor* descriptor) {
  if (!descriptor) return;
  table.SendCommandReceiveResponse = descriptor->send;
  table.ConnectCommandResponseInterface = descriptor->connect;
  table.InitializeInterfaces = descriptor->initialize;
  table.CloseInterfaces = descriptor->close;
}

}  // namespace

uint32_t connect_nothing() { return 0; }
uint32_t close_nothing(uint32_t) { return 0; }

ProcessState& process() {
  static ProcessState state;
  return state;
}

void on_library_load() {
  ProcessState& state = process();
  state = ProcessState{};
  state.registry = built_in_transports();
  state.counter_frequency = platform::performance_frequency();
  write_port_words(state.stream_port, PCI_CARD_CHANNEL_0);
  write_load_time_settings(state.stream_port);
  write_port_words(state.command_response_port, NO_PORT);
  write_load_time_settings(state.command_response_port);
}

void on_library_unload() {
  ProcessState& state = process();
  if (state.table.CloseInterfaces) state.table.CloseInterfaces(EFI_CLOSE_ALL_PORTS);
  state.stream_port = SerialPortRecord{};
  state.command_response_port = SerialPortRecord{};
}

uint32_t initialize_interfaces(uint32_t flags, const char* text) {
  ProcessState& state = process();
  TransportTable& table = state.table;
  const TransportRegistry& links = state.registry;

  // The command/response port is named COM0 on every call; the COM-port link renames it when it opens.
  std::wostringstream name;
  name << L"COM" << 0;
  state.command_response_port.name = name.str();

  if (flags & EFI_FLAG_SERIAL_PORT_MASK) {
    write_port_words(state.command_response_port, command_response_port_words(flags));
    if (flags & EFI_FLAG_UART_SERIAL)
      install(table, links.uart_serial);
    else if (flags & EFI_FLAG_COM_SERIAL)
      install(table, links.com_serial);
  }

  // Later bits override earlier ones: simulator beats Ethernet beats Bluetooth and so on.
  const struct {
    uint32_t bit;
    const TransportDescriptor* descriptor;
  } selection_order[] = {
      {EFI_FLAG_USB, links.usb},           {EFI_FLAG_USB_CAN, links.usb_can},   {EFI_FLAG_PCAN, links.pcan},
      {EFI_FLAG_BLUETOOTH, links.bluetooth}, {EFI_FLAG_ETHERNET, links.ethernet}, {EFI_FLAG_SIMULATOR, links.simulator},
  };
  for (const auto& entry : selection_order)
    if (flags & entry.bit) install(table, entry.descriptor);

  const bool simulator = flags & EFI_FLAG_SIMULATOR;
  table.AppendPlayback = simulator && links.simulator ? links.simulator->append : nullptr;
  if (simulator) flags |= EFI_FLAG_NO_CONVERSION;
  state.no_conversion = (flags & EFI_FLAG_NO_CONVERSION) ? 1 : 0;

  // Nothing was ever selected: there is no link to initialise.
  if (!table.InitializeInterfaces) return 1;
  return table.InitializeInterfaces(flags, text);
}

uint32_t close_interfaces(uint32_t which) {
  const TransportTable& table = process().table;
  return table.CloseInterfaces ? table.CloseInterfaces(which) : 1;
}

uint32_t connect_command_response_interface() {
  const TransportTable& table = process().table;
  if (!table.CloseInterfaces || !table.ConnectCommandResponseInterface) return 1;
  return table.ConnectCommandResponseInterface();
}

uint32_t append_playback(const void* data, uint32_t size) {
  const TransportTable& table = process().table;
  return table.AppendPlayback ? table.AppendPlayback(data, size) : 1;
}

uint32_t update_runtime_options() { return 0; }

void enable_error_messages(uint8_t enable) { process().error_messages_suppressed = enable ^ 1; }

}  // namespace efi
