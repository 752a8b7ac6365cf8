#pragma once

// Overlapped transfers with a deadline, shared by device files and serial ports.

#include <windows.h>

#include <cstdint>

#include "platform/device_file.h"

namespace efi::platform::win32 {

// Waits at most `timeout_ms` for an overlapped operation started on `handle`; on time-out the
// operation is cancelled and ERROR_TIMEOUT left as the last error. The count moved, or -1.
int64_t finish_overlapped(HANDLE handle, OVERLAPPED& overlapped, bool started, uint32_t timeout_ms);

Transfer write_within(HANDLE handle, const void* data, uint32_t size, uint32_t stall_ms);
Transfer read_within(HANDLE handle, void* data, uint32_t size, TransferBounds bounds);

}  // namespace efi::platform::win32
