#pragma once

// What the links on a device file (USB, Bluetooth) do to keep an exchange within its deadline and
// in step: the bounds of each transfer cut to the time the exchange has left, and the resync
// before a command goes out.

#include <cstdint>

#include "platform/device_file.h"
#include "transports/common/deadline.h"
#include "transports/link.h"

namespace efi {

// `stage`, a transfer's own bounds, cut to what is left of the exchange: neither the wait for a
// first byte nor the whole transfer goes past `deadline`, however slowly the unit drips.
platform::TransferBounds bounds_within(const Deadline& deadline,
                                       platform::TransferBounds stage = platform::DEVICE_BOUNDS);

// Before a command goes out: drops whatever already waits on the device and, after an exchange
// that went wrong (`settle`), whatever the unit still sends, until the line has been quiet for
// SETTLE_MS. The bytes go into `scratch`, a buffer of the link's own, and count in the trace.
// False when the deadline came first: the unit never fell quiet, and no command may go out.
bool get_device_in_step(const LinkContext& context, const platform::DeviceFile& device, bool settle,
                        const Deadline& deadline, unsigned char* scratch, uint32_t scratch_size);

}  // namespace efi
