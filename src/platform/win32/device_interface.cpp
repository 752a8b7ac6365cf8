#include "platform/device_interface.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <string>

#include "platform/device_directory.h"
#include "platform/fault.h"
#include "platform/system_error.h"

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

DeviceLookup failure(DeviceLookupStep step) {
  const DWORD error = GetLastError();
  return {step, error, !system_error_text(error).empty()};
}

}  // namespace

#if defined(EFI_TESTING)
// The testing build can stand a directory in for SetupAPI, so the device list logic runs under wine,
// where no device interface is ever present.
namespace {
std::string test_device_directory;

// Windows keeps no device nodes in its file system, so an entry that holds a line of text stands
// for the device path it names (a named pipe's, say); an empty entry is its own device path.
DeviceLookup find_in_test_directory(const char* class_guid, uint32_t index, char* path, size_t path_size) {
  const DeviceLookup lookup = find_in_device_directory(test_device_directory, class_guid, index, path, path_size);
  if (lookup.failed_step != DeviceLookupStep::none) return lookup;
  std::string target;
  std::getline(std::ifstream(path), target);
  target = target.c_str();
  if (target.empty()) return lookup;
  if (target.size() + 1 > path_size) return {DeviceLookupStep::convert, ERROR_INSUFFICIENT_BUFFER, true};
  std::memcpy(path, target.c_str(), target.size() + 1);
  return lookup;
}
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
    return find_in_test_directory(class_guid, index, path, path_size);
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
