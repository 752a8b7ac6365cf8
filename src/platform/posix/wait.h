#pragma once

// Bounded transfers on non-blocking descriptors, shared by device files and serial ports.

#include <cstdint>

#include "platform/device_file.h"

namespace efi::platform::posix {


// Waits until `fd` is ready for `events` or `timeout_ms` passes; false on time-out (errno
// ETIMEDOUT) or error.
bool wait_ready(int fd, short events, int64_t timeout_ms);

// Writes all `size` bytes unless no byte can go out for `stall_ms`.
Transfer write_within(int fd, const void* data, uint32_t size, uint32_t stall_ms);

// Gathers up to `size` bytes: fails when nothing arrives for bounds.first_byte_ms, returns what it
// has once the line is quiet for bounds.quiet_ms, or the other side is gone. Returns as soon as
// `wanted` bytes are in (keeping whatever else the same read brought); with `wait_first` it waits
// for the line before its first read, for an answer that cannot be there yet.
Transfer read_within(int fd, void* data, uint32_t size, TransferBounds bounds, uint32_t wanted = UINT32_MAX,
                     bool wait_first = false);

}  // namespace efi::platform::posix
