#pragma once

#include "api/transport.h"
#include "convert/converter_table.h"

#include <cstdint>
#include <string>

namespace efi {

// One serial port's description; the serial links read it, initialisation writes its port words.
struct SerialPortRecord {
  uint16_t port = 0;
  uint16_t channel = 0;
  uint16_t cardType = 0;
  uint16_t cardParameter = 0;
  uint16_t base = 0;
  uint16_t irq = 0;
  uint16_t baudCode = 0;
  uint16_t parityCode = 0;
  uint16_t lengthCode = 0;
  uint16_t stopCode = 0;
  uint16_t protocolCode = 0;
  std::wstring name;
  int32_t VxDPId = 0;
};

// The five operation entries that EfiInitializeInterfaces fills; empty entries are null.
struct TransportTable {
  SendOperation SendCommandReceiveResponse = nullptr;
  ConnectOperation ConnectCommandResponseInterface = nullptr;
  InitializeOperation InitializeInterfaces = nullptr;
  CloseOperation CloseInterfaces = nullptr;
  AppendOperation AppendPlayback = nullptr;
};

// The six interface-lock entries, filled only by the lock exports.
struct LockTable {
  uint32_t (*LockInterface)(uint32_t flags) = nullptr;
  uint32_t (*QueryInterface)(uint32_t flags, void* list) = nullptr;
  uint32_t (*UpdateInterface)(uint32_t flags, const void* list) = nullptr;
  uint32_t (*UnlockInterface)(uint32_t flags) = nullptr;
  uint32_t (*QueryAndLockInterface)(uint32_t flags, void* list) = nullptr;
  uint32_t (*ReleaseInterfaceLock)(uint32_t flags, const void* list) = nullptr;
};

// Which descriptor each selecting bit installs. A link that is not built here has none, and its
// bit then selects nothing.
struct TransportRegistry {
  const TransportDescriptor* uart_serial;
  const TransportDescriptor* com_serial;
  const TransportDescriptor* usb;
  const TransportDescriptor* usb_can;
  const TransportDescriptor* pcan;
  const TransportDescriptor* bluetooth;
  const TransportDescriptor* ethernet;
  const TransportDescriptor* simulator;
  const LockTable* usb_lock;
};

// All process-wide state of the exports. The host calls in from one thread at a time, so nothing
// here is locked.
struct ProcessState {
  TransportTable table;
  LockTable locks;
  uint8_t no_conversion = 0;
  uint8_t error_messages_suppressed = 0;
  SerialPortRecord stream_port;
  SerialPortRecord command_response_port;
  int64_t counter_frequency = 0;
  CommandHeader_TS command_header{};
  ResponseHeader_TS response_header{};
  CRM crm{};
  TransportRegistry registry;
  // The conversion rows the dispatcher uses; tests point it at rows of their own.
  const ConverterRow* converter_rows = CommandConverterTable;
};

ProcessState& process();

// The links this build offers.
TransportRegistry built_in_transports();

// Library load: fresh state, counter frequency, load-time port records.
void on_library_load();
// Library unload: closes all ports of an installed link.
void on_library_unload();

uint32_t initialize_interfaces(uint32_t flags, const char* text);
uint32_t close_interfaces(uint32_t which);
uint32_t connect_command_response_interface();
uint32_t append_playback(const void* data, uint32_t size);
uint32_t update_runtime_options();
void enable_error_messages(uint8_t enable);
uint32_t lock_interface(uint32_t flags);
uint32_t unlock_interface(uint32_t flags);
uint32_t query_interface(uint32_t flags, void* list);
uint32_t query_and_lock_interface(uint32_t flags, void* list);
uint32_t update_interface(uint32_t flags, const void* list);
uint32_t release_interface_lock(uint32_t flags, const void* list);
uint32_t send_command(uint8_t command, void* command_data, uint16_t command_data_size, void* response_data,
                      uint16_t response_buffer_size, uint16_t* received_size);

}  // namespace efi
