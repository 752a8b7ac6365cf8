#pragma once

#include <efilink/efilink.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "convert/converter_table.h"
#include "report/report.h"
#include "transports/can/pcan_link.h"
#include "transports/can/slcan_link.h"
#include "transports/can/usb_can_link.h"
#include "transports/common/adapter_libraries.h"
#include "transports/link.h"
#include "transports/net/bluetooth_link.h"
#include "transports/net/ethernet_link.h"
#include "transports/common/trace.h"
#include "transports/serial/com_serial_link.h"
#include "transports/serial/port_records.h"
#include "transports/serial/uart_serial_link.h"
#include "transports/sim/sim_bridge.h"
#include "transports/usb/interface_lock.h"
#include "transports/usb/usb_link.h"

namespace efi {

// Every link object of the library: all link state lives here, made anew at the library's load.
struct Links {
  Links(SerialPorts& ports, const AdapterLibraries& libraries) : uart_serial(ports, libraries), com_serial(ports) {}

  UsbLink usb;
  BluetoothLink bluetooth;
  UartSerialLink uart_serial;
  ComSerialLink com_serial;
  EthernetLink ethernet;
  SimulatorLink simulator;
  UsbCanLink usb_can;
  PcanLink pcan;
  SlcanLink slcan;
  InterfaceLock usb_lock;
};

// The link each selecting bit installs.
struct SelectableLinks {
  Link* uart_serial;
  Link* com_serial;
  Link* usb;
  Link* usb_can;
  Link* pcan;
  Link* bluetooth;
  Link* ethernet;
  Link* simulator;
  Link* slcan;  // an extension, after the original links
};

// The transport table: the link whose operations EfiInitializeInterfaces installed (its send,
// connect, initialise and close entries), and the link that takes playback data, if any.
struct TransportTable {
  Link* installed = nullptr;
  Link* playback = nullptr;
};

// All process-wide state of the exports. The host calls in from one thread at a time, so nothing
// here is locked.
struct ProcessState {
  TransportTable table;
  InterfaceLock* locks = nullptr;  // the lock entries, filled by the lock exports
  uint8_t no_conversion = 0;
  uint8_t error_messages_suppressed = 0;
  MessageSink messages;
  SerialPorts ports;
  AdapterLibraries adapter_libraries;
  platform::Clock clock;
  CommandHeader_TS command_header{};
  ResponseHeader_TS response_header{};
  CRM crm{};
  Links links{ports, adapter_libraries};
  // The exchange trace, null while off. `trace_chosen` once the host named a trace file (or none),
  // after which the environment's EFILINK_TRACE no longer counts.
  std::unique_ptr<Tracer> tracer;
  bool trace_chosen = false;
#if defined(EFI_TESTING)
  // The testing build only: recording links a test puts in place of the library's own, and rows
  // in place of the conversion table, to watch the dispatch without a unit behind it.
  std::optional<SelectableLinks> stand_in_links;
  const ConverterRow* stand_in_rows = nullptr;
#endif

  // What a link may know of this state for one call.
  LinkContext link_context() const;
  // The library's own link objects (a test's stand-ins while it set them).
  SelectableLinks selectable_links();
  // The conversion row of a command number, null past the table.
  const ConverterRow* converter_row(uint8_t command) const;
  Reporter reporter() const { return {messages, error_messages_suppressed != 0}; }
};

ProcessState& process();

// Library load: every link object and all other state anew. Library unload while the process
// lives on: closes all ports of an installed link, then lets go of everything. Unload because the
// process ends (`process_exiting`): nothing at all.
void on_library_load();
void on_library_unload(bool process_exiting = false);

uint32_t initialize_interfaces(uint32_t flags, const char* text);
uint32_t close_interfaces(uint32_t which);
uint32_t connect_command_response_interface();
uint32_t append_playback(const void* data, uint32_t size);
uint32_t update_runtime_options();
void enable_error_messages(uint8_t enable);
void set_message_handler(EfiMessageHandler handler, void* context);
void set_ethernet_address(const char* host, const char* service);
uint32_t set_adapter_library(uint32_t link_flag, const char* path);
uint32_t set_trace_file(const char* path);
uint32_t lock_interface(uint32_t flags);
uint32_t unlock_interface(uint32_t flags);
uint32_t query_interface(uint32_t flags, void* list);
uint32_t query_and_lock_interface(uint32_t flags, void* list);
uint32_t update_interface(uint32_t flags, const void* list);
uint32_t release_interface_lock(uint32_t flags, const void* list);
uint32_t send_command(uint8_t command, void* command_data, uint16_t command_data_size, void* response_data,
                      uint16_t response_buffer_size, uint16_t* received_size);

}  // namespace efi
