#include "platform/device_interface.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/device_directory.h"
#include "platform/fault.h"

namespace efi::platform {

namespace {

bool parse_guid(const char* text, GUID& guid) {
  unsigned long data1 = 0;
  unsigned int data2 = 0, data3 = 0, bytes[8] = {};
  if (std::sscanf(text, "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &data1, &data2, &data3, &bytes[0], &bytes[1],
                  &bytes[2], &bytes[3], &bytes[4], &bytes[5], &bytes[6], &bytes[7]) != 11)
    return false;
  guid.Data1 = data1;
  guid.Data2 = static_cast<unsigned short>(data2);
  guid.Data3 = static_cast<unsigned short>(data3);
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<unsigned char>(bytes[i]);
  return true;
}

bool system_has_text(DWORD error) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (text) LocalFree(text);
  return length != 0;
}

DeviceLookup failure(DeviceLookupStep step) {
  const DWORD error = GetLastError();
  return {step, error, system_has_text(error)};
}

}  // namespace

#if defined(EFI_TESTING)
// The testing build can stand a directory in for SetupAPI, so the device list logic runs under wine,
// where no device interface is ever present.
namespace {
std::string test_device_directory;
}  // namespace
void set_device_directory(const char* directory) { test_device_directory = directory ? directory : ""; }
std::string device_directory() { return test_device_directory; }
#else
void set_device_directory(const char*) {}
std::string device_directory() { return ""; }
#endif

DeviceLookup find_device_interface(const char* class_guid, uint32_t index, char* path, size_t path_size) {
  uint32_t injected = 0;
  if (take_fault(FaultPoint::device_enumerate, injected)) return {DeviceLookupStep::class_list, injected, true};
#if defined(EFI_TESTING)
  if (!test_device_directory.empty())
    return find_in_device_directory(test_device_directory, class_guid, index, path, path_size);
#endif
  GUID guid{};
  if (!parse_guid(class_guid, guid)) return {DeviceLookupStep::class_list, ERROR_INVALID_PARAMETER, true};

  HDEVINFO devices = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) return failure(DeviceLookupStep::class_list);

  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  if (!SetupDiEnumDeviceInterfaces(devices, nullptr, &guid, index, &interface_data)) {
    DeviceLookup result = failure(DeviceLookupStep::enumerate);
    SetupDiDestroyDeviceInfoList(devices);
    return result;
  }

  DWORD needed = 0;
  SetupDiGetDeviceInterfaceDetailW(devices, &interface_data, nullptr, 0, &needed, nullptr);
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(LocalAlloc(LMEM_FIXED, needed));
  if (!detail) {
    DeviceLookup result = failure(DeviceLookupStep::allocate);
    SetupDiDestroyDeviceInfoList(devices);
    return result;
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(devices, &interface_data, detail, needed, nullptr, nullptr)) {
    DeviceLookup result = failure(DeviceLookupStep::detail);
    SetupDiDestroyDeviceInfoList(devices);
    LocalFree(detail);
    return result;
  }

  // The narrow copy must hold the whole path; a truncated path is a failure.
  size_t converted = 0;
  const errno_t status = wcstombs_s(&converted, path, path_size, detail->DevicePath, _TRUNCATE);
  SetupDiDestroyDeviceInfoList(devices);
  LocalFree(detail);
  if (status != 0) return {DeviceLookupStep::convert, static_cast<uint32_t>(status), false};
  return {DeviceLookupStep::none, 0, false};
}

}  // namespace efi::platform
