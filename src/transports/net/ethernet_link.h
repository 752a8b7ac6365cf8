#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket.h"
#include "transports/common/locked_buffers.h"
#include "transports/link.h"

namespace efi {

// The unit's fixed address on its private network, and the TCP service it listens on.
inline constexpr const char* ETHERNET_UNIT_ADDRESS = "192.168.77.7";
inline constexpr const char* ETHERNET_UNIT_SERVICE = "7";
inline constexpr size_t ETHERNET_BUFFER_SIZE = 16384;
// Command data that still fit the send buffer behind their header.
inline constexpr size_t ETHERNET_MAX_COMMAND_DATA = ETHERNET_BUFFER_SIZE - 8;

// The Ethernet link: one TCP connection that lives as long as the link object, responses in one
// piece or in acknowledged chunks, exchanged through page-locked buffers.
class EthernetLink final : public Link {
 public:
  ~EthernetLink() override;

  const char* name() const override { return "Ethernet"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) override;
  uint32_t send(const LinkContext& context, CRM* crm) override;

  // Replaces the address and service used by the next initialisation; null restores the fixed ones.
  void set_address(const char* host, const char* service);

 private:
  enum class Exchange { done, too_large, broken, bad_chunk };
  Exchange receive_response(const LinkContext& context, CRM* crm, uint32_t capacity);
  bool receive_data(uint32_t at, uint32_t count);
  void drop_connection();

  uint8_t Ethernet_CRInitialized = 0;
  platform::Socket socket;
  LockedBuffers buffers{"Ethernet_DataToLockedBuffers", "Ethernet_", ETHERNET_BUFFER_SIZE, false};
  std::string host = ETHERNET_UNIT_ADDRESS;
  std::string service = ETHERNET_UNIT_SERVICE;
};

}  // namespace efi
