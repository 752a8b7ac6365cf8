#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transports/common/adapter_libraries.h"
#include "transports/common/locked_buffers.h"
#include "transports/link.h"
#include "transports/serial/port_records.h"
#include "transports/serial/serial_exchange.h"
#include "transports/serial/uart_driver.h"

namespace efi {

inline constexpr size_t SERIAL_BUFFER_SIZE = 16384;
// The driver offers no event: while bytes are due it is asked again after UART_FIRST_POLL_US,
// then after twice as long each time up to every UART_POLL_STEP_MS.
inline constexpr uint32_t UART_FIRST_POLL_US = 25;
inline constexpr uint32_t UART_POLL_STEP_MS = 4;
// Size of the port statistics record the driver fills.
inline constexpr size_t PORT_PARAMS_SIZE = 276;

// The serial line through the UART driver library: a stream port that is only opened and closed,
// and a command/response port that carries the exchanges through page-locked buffers.
class UartSerialLink final : public Link, private SerialLine {
 public:
  UartSerialLink(SerialPorts& ports, const AdapterLibraries& libraries) : ports_(ports), libraries_(libraries) {}

  const char* name() const override { return "uart"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char*) override {
    return SerialInitializeInterfaces(context, flags);
  }
  uint32_t send(const LinkContext& context, CRM* crm) override { return SerialSendCommandReceiveResponse(context, crm); }
  uint32_t connect(const LinkContext& context) override { return SerialConnectCommandResponseInterface(context); }
  uint32_t close(const LinkContext& context, uint32_t which) override { return SerialCloseInterfaces(context, which); }

  uint32_t SerialInitializeInterfaces(const LinkContext& context, uint32_t flags);
  uint32_t SerialCloseInterfaces(const LinkContext& context, uint32_t which);
  uint32_t SerialConnectCommandResponseInterface(const LinkContext& context);
  uint32_t SerialSendCommandReceiveResponse(const LinkContext& context, CRM* crm);

 private:
  bool load_driver(const Reporter& report);
  uint32_t SerialInitializeComport(const Reporter& report, SerialPortRecord& record);
  void SerialDebugMetricsDump(const Reporter& report, int32_t port_id);
  uint32_t cleanup(const Reporter& report, int32_t port_id);
  // The line as the serial exchange uses it: the driver's packets, polled, and its messages.
  bool put(const Reporter& report, const void* data, uint32_t size, Piece piece, const Deadline& deadline) override;
  uint32_t read_some(unsigned char* data, uint32_t size, const Deadline& deadline) override;
  void tell_silence(const Reporter& report, bool limit) override;
  void tell_bad_acknowledge(const Reporter& report) override;
  void tell_too_small(const Reporter& report) override;

  SerialPorts& ports_;
  const AdapterLibraries& libraries_;
  UartDriver driver_;
  std::string driver_file_;
  bool library_initialized_ = false;
  bool stream_initialized_ = false;
  bool command_response_initialized_ = false;
  // Port ids 0 to 2 (those a full close releases) that were cleaned up since the driver last
  // opened them, one bit each: no port is cleaned up twice, so a close after a close, or the
  // unload after the host's own close, asks the driver for nothing. A driver just bound may hold
  // ports of an earlier user, so none counts as released then.
  uint8_t released_ports_ = 0;
  LockedBuffers buffers_{"SerialTransferDataToLockedBuffers", "", SERIAL_BUFFER_SIZE, true};
  SerialExchange exchange_;
};

}  // namespace efi
