#include "platform/device_file.h"

#include <windows.h>

#include "platform/fault.h"
#include "platform/win32/overlapped.h"

namespace efi::platform {

namespace {
HANDLE native(const DeviceFile& device) { return reinterpret_cast<HANDLE>(device.get()); }

// A device that is not open: its empty value would name the process itself to the system.
bool not_open(const DeviceFile& device) {
  if (device) return false;
  SetLastError(ERROR_INVALID_HANDLE);
  return true;
}
}  // namespace

void DeviceFileTraits::close(Raw raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

DeviceFile open_device(const char* path, DeviceSharing sharing) {
  if (fails_now(FaultPoint::device_open)) return {};
  const DWORD share = sharing == DeviceSharing::shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  HANDLE device =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) return {};
  // A disk file is never a unit; commands written to it would overwrite it.
  if (GetFileType(device) == FILE_TYPE_DISK) {
    CloseHandle(device);
    SetLastError(ERROR_BAD_DEVICE);
    return {};
  }
  return DeviceFile(reinterpret_cast<intptr_t>(device));
}

Transfer write_device(const DeviceFile& device, const void* data, uint32_t size, TransferBounds bounds) {
  if (fails_now(FaultPoint::device_write) || not_open(device)) return {false, 0};
  return win32::write_within(native(device), data, size, bounds.first_byte_ms);
}

Transfer read_device(const DeviceFile& device, void* data, uint32_t size, TransferBounds bounds) {
  if (fails_now(FaultPoint::device_read) || not_open(device)) return {false, 0};
  return win32::read_within(native(device), data, size, bounds);
}

// Overlapped reads take what is asked for: the answer comes in `wanted` bytes.
Transfer read_device_answer(const DeviceFile& device, void* data, uint32_t wanted, uint32_t, TransferBounds bounds) {
  return read_device(device, data, wanted, bounds);
}

uint32_t discard_input(const DeviceFile& device) {
  unsigned char scratch[512];
  uint32_t discarded = 0;
  for (;;) {
    const Transfer read = win32::read_within(native(device), scratch, sizeof scratch, TransferBounds{0, 0});
    if (!read.ok || read.count == 0) return discarded;
    discarded += read.count;
  }
}

}  // namespace efi::platform
