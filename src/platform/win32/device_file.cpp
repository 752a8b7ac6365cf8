#include "platform/device_file.h"

#include <windows.h>

#include "platform/fault.h"

namespace efi::platform {

DeviceHandle open_device(const char* path) {
  if (fails_now(FaultPoint::device_open)) return nullptr;
  HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

void close_device(DeviceHandle device) {
  if (device) CloseHandle(device);
}

Transfer write_device(DeviceHandle device, const void* data, uint32_t size) {
  if (fails_now(FaultPoint::device_write)) return {false, 0};
  DWORD written = 0;
  const bool ok = WriteFile(device, data, size, &written, nullptr) != 0;
  return {ok, written};
}

Transfer read_device(DeviceHandle device, void* data, uint32_t size) {
  if (fails_now(FaultPoint::device_read)) return {false, 0};
  DWORD got = 0;
  const bool ok = ReadFile(device, data, size, &got, nullptr) != 0;
  return {ok, got};
}

}  // namespace efi::platform
