#pragma once

#include "api/transport.h"

namespace efi {

// Hands every command to a simulator library named by the host, after a fixed short delay.
uint32_t SimulatorInitializeInterfaces(uint32_t flags, const char* text);
uint32_t SimulatorSendCommandReceiveResponse(CRM* crm);
uint32_t SimulatorBridgeAppendPlayback(const void* data, uint32_t size);
uint32_t SimulatorCloseInterfaces(uint32_t which);

extern const TransportDescriptor SIMULATOR_TRANSPORT;

}  // namespace efi
