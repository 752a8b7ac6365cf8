#pragma once

#include <cstddef>
#include <cstdint>

#include "api/transport.h"

namespace efi {

// The unit's fixed address on its private network, and the TCP service it listens on.
inline constexpr const char* ETHERNET_UNIT_ADDRESS = "192.168.77.7";
inline constexpr const char* ETHERNET_UNIT_SERVICE = "7";
inline constexpr size_t ETHERNET_BUFFER_SIZE = 16384;
// Command data that still fit the send buffer behind their header.
inline constexpr size_t ETHERNET_MAX_COMMAND_DATA = ETHERNET_BUFFER_SIZE - 8;

uint32_t Ethernet_InitializeInterfaces(uint32_t flags, const char* text);
uint32_t Ethernet_SendCommandReceiveResponse(CRM* crm);

// Replaces the address and service used by the next initialisation; null restores the fixed ones.
void set_ethernet_address(const char* host, const char* service);

// Closes the connection and frees the exchange buffers, so the next initialisation starts as the
// first one in a process did (the link itself never does this: the connection lives as long as
// the process).
void reset_ethernet_link();

extern const TransportDescriptor ETHERNET_TRANSPORT;

}  // namespace efi
