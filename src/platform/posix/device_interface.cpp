#include "platform/device_interface.h"

#include <string>

#include "platform/device_directory.h"
#include "platform/fault.h"

namespace efi::platform {

namespace {
const char* const DEFAULT_DEVICE_DIRECTORY = "/run/efilink";
std::string device_directory_path = DEFAULT_DEVICE_DIRECTORY;
}  // namespace

std::string device_directory() { return device_directory_path; }

void set_device_directory(const char* directory) {
  device_directory_path = directory ? directory : DEFAULT_DEVICE_DIRECTORY;
}

DeviceLookup find_device_interface(const char* class_guid, uint32_t index, char* path, size_t path_size) {
  uint32_t error = 0;
  if (take_fault(FaultPoint::device_enumerate, error)) return {DeviceLookupStep::class_list, error, true};
  return find_in_device_directory(device_directory_path, class_guid, index, path, path_size);
}

}  // namespace efi::platform
