#pragma once

#include <cstdint>

namespace efi::platform {

// A device opened like a file for synchronous reads and writes.
using DeviceHandle = void*;

// Opens for reading and writing, shared with nobody. Null on failure; last_error() tells why.
DeviceHandle open_device(const char* path);
void close_device(DeviceHandle device);

// One synchronous transfer. `ok` false means the call itself failed (last_error() tells why);
// otherwise `count` bytes moved, which may be fewer than asked.
struct Transfer {
  bool ok;
  uint32_t count;
};
Transfer write_device(DeviceHandle device, const void* data, uint32_t size);
// Elsewhere than Windows a read gathers `size` bytes; it fails when no byte arrives for
// DEVICE_FIRST_BYTE_TIMEOUT_MS and returns what it has when the line stays quiet for
// DEVICE_QUIET_TIMEOUT_MS after some bytes.
Transfer read_device(DeviceHandle device, void* data, uint32_t size);

inline constexpr uint32_t DEVICE_FIRST_BYTE_TIMEOUT_MS = 2000;
inline constexpr uint32_t DEVICE_QUIET_TIMEOUT_MS = 200;

}  // namespace efi::platform
