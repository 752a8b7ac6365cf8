#pragma once

#include <cstddef>

#include "api/transport.h"

namespace efi {

// Device-interface class under which the unit's USB driver exposes it.
inline constexpr const char* USB_DEVICE_CLASS = "{4B916034-47F5-4765-BECA-716DAE788135}";
inline constexpr size_t USB_DEVICE_PATH_SIZE = 256;
inline constexpr size_t USB_TRANSFER_SIZE = 0x1000;
// Header plus data up to this size go out without an announcement block.
inline constexpr size_t USB_DEFAULT_REQUEST_SIZE = 32;
inline constexpr uint8_t COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT = 0x07;

// Stores the narrow path of member `index` of the device-interface class into `path`; 1 on
// success, 0 (after its message, unless suppressed) otherwise.
uint32_t GetDevicePath(const char* class_guid, char* path, size_t path_size, uint32_t index);

uint32_t USB_InitializeInterfaces(uint32_t flags, const char* device_path);
uint32_t USB_CloseInterfaces(uint32_t which);
uint32_t USB_SendCommandReceiveResponse(CRM* crm);
// The installed send operation: repeats the whole exchange once on a bad response marker.
uint32_t USB_SendCommandWithRepeat(CRM* crm);

extern const TransportDescriptor USB_TRANSPORT;

}  // namespace efi
