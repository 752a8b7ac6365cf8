#pragma once

#include <cstdint>
#include <memory>

#include "transports/common/locked_buffers.h"
#include "transports/link.h"
#include "transports/serial/port_records.h"
#include "transports/serial/serial_exchange.h"
#include "transports/serial/serial_port_classes.h"

namespace efi {

// The serial line through a COM port: one port object whose listener fills the receive ring, the
// same line protocol as the UART-driver link, no messages.
class ComSerialLink final : public Link, private SerialLine {
 public:
  explicit ComSerialLink(SerialPorts& ports) : ports_(ports) {}

  const char* name() const override { return "com"; }
  uint32_t initialize(const LinkContext&, uint32_t flags, const char*) override {
    return ComSerialInitializeInterfaces(flags);
  }
  uint32_t send(const LinkContext& context, CRM* crm) override { return ComSerialSendCommandReceiveResponse(context, crm); }
  uint32_t connect(const LinkContext& context) override { return ComSerialConnectCommandResponseInterface(context); }
  uint32_t close(const LinkContext&, uint32_t which) override { return ComSerialCloseInterfaces(which); }

  uint32_t ComSerialInitializeInterfaces(uint32_t flags);
  uint32_t ComSerialCloseInterfaces(uint32_t which);
  uint32_t ComSerialConnectCommandResponseInterface(const LinkContext& context);
  uint32_t ComSerialSendCommandReceiveResponse(const LinkContext& context, CRM* crm);

 private:
  int32_t ComSerialInitializeComport(SerialPortRecord& record);
  uint32_t ComSerialPutPacket(uint32_t count, const void* buffer, uint32_t timeout_ms);
  void empty_receive_buffer();
  // The line as the serial exchange uses it: the port's writes, the ring's bytes.
  bool put(const Reporter& report, const void* data, uint32_t size, Piece piece, const Deadline& deadline) override;
  uint32_t read_some(unsigned char* data, uint32_t size, const Deadline& deadline) override;

  SerialPorts& ports_;
  CSerialBuffer receive_;
  std::unique_ptr<CSerialMFC> port_;
  bool stream_initialized_ = false;
  bool command_response_initialized_ = false;
  SerialExchange exchange_;
  LockedBuffers buffers_{"ComSerialInitializeInterfaces", "", 16384, true};
};

}  // namespace efi
