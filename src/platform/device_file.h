#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace efi::platform {

struct DeviceFileTraits {
  using Raw = intptr_t;
  static constexpr Raw none() { return -1; }
  static void close(Raw raw) noexcept;
};
// A device opened like a file, for reads and writes that never wait without limit.
using DeviceFile = Owned<DeviceFileTraits>;

// Who else may have the device open while this process holds it.
enum class DeviceSharing { exclusive, shared };

// Opens for reading and writing, shared with nobody unless `sharing` allows it (for reading and
// writing both). Only devices, pipes and sockets open: a path that names a regular file or a
// directory fails (and is never written). Empty on failure; last_error() tells why.
DeviceFile open_device(const char* path, DeviceSharing sharing = DeviceSharing::exclusive);

// How long a transfer may wait: it fails when no byte moves for `first_byte_ms`, a read returns
// what it has once the line stays quiet for `quiet_ms` after some bytes, and no transfer goes on
// past `total_ms` however slowly bytes trickle in.
struct TransferBounds {
  uint32_t first_byte_ms = 2000;
  uint32_t quiet_ms = 200;
  uint32_t total_ms = UINT32_MAX;
};
inline constexpr TransferBounds DEVICE_BOUNDS{};

// One transfer. `ok` false means nothing moved (last_error() tells why, a time-out included);
// otherwise `count` bytes moved, which may be fewer than asked.
struct Transfer {
  bool ok;
  uint32_t count;
};
Transfer write_device(const DeviceFile& device, const void* data, uint32_t size,
                      TransferBounds bounds = DEVICE_BOUNDS);
// Gathers up to `size` bytes within `bounds`.
Transfer read_device(const DeviceFile& device, void* data, uint32_t size, TransferBounds bounds = DEVICE_BOUNDS);

// Reads the answer to what was just written: waits for it before reading, returns as soon as
// `wanted` bytes are in, and keeps up to `size` of whatever the same read brings behind them, so
// that a header and the data after it take one read. Bounds as read_device: short when the line
// goes quiet before `wanted` bytes.
Transfer read_device_answer(const DeviceFile& device, void* data, uint32_t wanted, uint32_t size,
                            TransferBounds bounds = DEVICE_BOUNDS);

// Reads and throws away whatever is waiting to be read, without waiting; the count thrown away.
uint32_t discard_input(const DeviceFile& device);

}  // namespace efi::platform
