#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket.h"
#include "transports/common/deadline.h"
#include "transports/common/locked_buffers.h"
#include "transports/link.h"

namespace efi {

// The unit's fixed address on its private network, and the TCP service it listens on.
inline constexpr const char* ETHERNET_UNIT_ADDRESS = "192.168.77.7";
inline constexpr const char* ETHERNET_UNIT_SERVICE = "7";
inline constexpr size_t ETHERNET_BUFFER_SIZE = 16384;
// How long a response may keep the host waiting: its header after the command went out, and each
// later piece after the one before; the whole exchange ends within EXCHANGE_LIMIT_MS.
inline constexpr uint32_t ETHERNET_HEADER_WAIT_MS = 5000;
inline constexpr uint32_t ETHERNET_PIECE_WAIT_MS = 2000;
// Each of the unit's addresses gets this long to complete the connection.
inline constexpr uint32_t ETHERNET_CONNECT_WAIT_MS = 3000;
// Command data that still fit the send buffer behind their header.
inline constexpr size_t ETHERNET_MAX_COMMAND_DATA = ETHERNET_BUFFER_SIZE - 8;

// The Ethernet link: one TCP connection that lives as long as the link object, responses in one
// piece or in acknowledged chunks, exchanged through page-locked buffers.
class EthernetLink final : public Link {
 public:
  ~EthernetLink() override;

  const char* name() const override { return "ethernet"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) override;
  uint32_t send(const LinkContext& context, CRM* crm) override;

  // Replaces the address and service used by the next initialisation; null restores the fixed ones.
  void set_address(const char* host, const char* service);

 private:
  uint32_t receive_response(const LinkContext& context, CRM* crm, uint32_t capacity, const Deadline& deadline);
  uint32_t receive_exactly(unsigned char* target, uint32_t size, uint32_t first_wait_ms, const Deadline& deadline);
  uint32_t receive_data(uint32_t at, uint32_t count, const Deadline& deadline);
  bool send_all(const void* data, size_t size);
  void drop_connection();

  // Response data bytes of the current exchange in the locked buffer (what may go to the host).
  uint32_t received_now = 0;
  // The current exchange's trace, if any.
  Tracer* tracer = nullptr;
  // Response data bytes that came in with the header, from the start of the locked buffer.
  uint32_t arrived = 0;

  uint8_t Ethernet_CRInitialized = 0;
  platform::Socket socket;
  LockedBuffers buffers{"Ethernet_DataToLockedBuffers", "Ethernet_", ETHERNET_BUFFER_SIZE, false};
  std::string host = ETHERNET_UNIT_ADDRESS;
  std::string service = ETHERNET_UNIT_SERVICE;
};

}  // namespace efi
