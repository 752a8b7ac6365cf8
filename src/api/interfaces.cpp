#include "api/process_state.h"

#include <string>

#include "platform/log_file.h"
#include "protocol/status.h"

namespace efi {

namespace {
constexpr const char* CAN_ADAPTER_VARIABLE = "EFILINK_CAN_ADAPTER";
constexpr const char* SLCAN_ADAPTER_PREFIX = "slcan:";

// Owned by the load and unload below, never by a static destructor: the unload runs from another
// file's static object, which may well be destroyed after this file's statics.
ProcessState* state = nullptr;
}  // namespace

SelectableLinks ProcessState::selectable_links() {
#if defined(EFI_TESTING)
  if (stand_in_links) return *stand_in_links;
#endif
  return {&links.uart_serial, &links.com_serial, &links.usb,      &links.usb_can,  &links.pcan,
          &links.bluetooth,   &links.ethernet,   &links.simulator, &links.slcan};
}

const ConverterRow* ProcessState::converter_row(uint8_t command) const {
  if (command >= CONVERTER_ROW_COUNT) return nullptr;
#if defined(EFI_TESTING)
  if (stand_in_rows) return &stand_in_rows[command];
#endif
  return &CommandConverterTable[command];
}

LinkContext ProcessState::link_context() const {
  LinkContext context{no_conversion == 0, reporter(), clock, &adapter_libraries};
  context.tracer = tracer.get();
  return context;
}

ProcessState& process() {
  if (!state) state = new ProcessState;
  return *state;
}

void on_library_load() {
  delete state;
  state = nullptr;
  state = new ProcessState;
}

void on_library_unload(bool process_exiting) {
  // The process is ending: the modules the links use (adapter and driver libraries, the system's
  // own) may already be torn down, and on Windows this runs under the loader's lock. Nothing is
  // called and nothing let go; the system takes back memory, handles and descriptors.
  if (process_exiting || !state) return;
  if (Link* link = state->table.installed) link->close(state->link_context(), EFI_CLOSE_ALL_PORTS);
  delete state;
  state = nullptr;
}

uint32_t initialize_interfaces(uint32_t flags, const char* text) {
  ProcessState& process_state = process();
  // The environment names a trace only for hosts that did not name one themselves; read here
  // rather than at load, so that no file is created while the system loads the library.
  if (!process_state.trace_chosen) {
    process_state.trace_chosen = true;
    const std::string path = platform::environment_variable("EFILINK_TRACE");
    if (!path.empty()) process_state.tracer = Tracer::open(path);
  }
  TransportTable& table = process_state.table;
  const SelectableLinks links = process_state.selectable_links();

  process_state.ports.select(flags);
  if (flags & EFI_FLAG_SERIAL_PORT_MASK) {
    if (flags & EFI_FLAG_UART_SERIAL)
      table.installed = links.uart_serial;
    else if (flags & EFI_FLAG_COM_SERIAL)
      table.installed = links.com_serial;
  }

  // Later bits override earlier ones: simulator beats Ethernet beats Bluetooth and so on.
  const struct {
    uint32_t bit;
    Link* link;
  } selection_order[] = {
      {EFI_FLAG_USB, links.usb},         {EFI_FLAG_USB_CAN, links.usb_can},     {EFI_FLAG_PCAN, links.pcan},
      {EFI_FLAG_SLCAN, links.slcan},     {EFI_FLAG_BLUETOOTH, links.bluetooth}, {EFI_FLAG_ETHERNET, links.ethernet},
      {EFI_FLAG_SIMULATOR, links.simulator},
  };
  for (const auto& entry : selection_order)
    if (flags & entry.bit) table.installed = entry.link;

  // Consoles that know only the vendor adapters' bits reach a serial-line adapter through the
  // environment; the port it names stands in for the text.
  std::string adapter_port;
  if (table.installed == links.pcan || table.installed == links.usb_can) {
    const std::string adapter = platform::environment_variable(CAN_ADAPTER_VARIABLE);
    if (adapter.rfind(SLCAN_ADAPTER_PREFIX, 0) == 0) {
      adapter_port = adapter.substr(std::char_traits<char>::length(SLCAN_ADAPTER_PREFIX));
      table.installed = links.slcan;
      text = adapter_port.c_str();
    }
  }

  const bool simulator = flags & EFI_FLAG_SIMULATOR;
  table.playback = simulator ? links.simulator : nullptr;
  if (simulator) flags |= EFI_FLAG_NO_CONVERSION;
  process_state.no_conversion = (flags & EFI_FLAG_NO_CONVERSION) ? 1 : 0;

  // Nothing was ever selected: there is no link to initialise.
  if (!table.installed) return LINK_FAILED;
  return table.installed->initialize(process_state.link_context(), flags, text);
}

uint32_t close_interfaces(uint32_t which) {
  const ProcessState& process_state = process();
  Link* link = process_state.table.installed;
  return link ? link->close(process_state.link_context(), which) : LINK_FAILED;
}

uint32_t connect_command_response_interface() {
  ProcessState& process_state = process();
  Link* link = process_state.table.installed;
  LinkContext context = process_state.link_context();
  context.no_conversion = &process_state.no_conversion;
  return link ? link->connect(context) : LINK_FAILED;
}

uint32_t append_playback(const void* data, uint32_t size) {
  Link* link = process().table.playback;
  return link ? link->append_playback(data, size) : LINK_FAILED;
}

uint32_t update_runtime_options() { return 0; }

void enable_error_messages(uint8_t enable) { process().error_messages_suppressed = enable ^ 1; }

void set_message_handler(EfiMessageHandler handler, void* context) { process().messages = {handler, context}; }

void set_ethernet_address(const char* host, const char* service) { process().links.ethernet.set_address(host, service); }

uint32_t set_adapter_library(uint32_t link_flag, const char* path) {
  return process().adapter_libraries.set(link_flag, path);
}

uint32_t set_trace_file(const char* path) {
  ProcessState& process_state = process();
  process_state.trace_chosen = true;
  process_state.tracer.reset();
  if (!path || !*path) return 0;
  process_state.tracer = Tracer::open(path);
  return process_state.tracer ? 0 : LINK_FAILED;
}

}  // namespace efi
