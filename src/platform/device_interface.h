#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace efi::platform {

// Which step of a device-interface lookup failed.
enum class DeviceLookupStep { none, class_list, enumerate, allocate, detail, convert };

struct DeviceLookup {
  DeviceLookupStep failed_step;
  uint32_t error;          // the system's error code of the failing step
  bool error_has_text;     // the system has a text for that code
};

// Stores the path of member `index` of the device-interface class `class_guid` (as
// "{XXXXXXXX-...}") into `path` (at most `path_size` bytes with its terminating zero).
// On Windows the class is enumerated through SetupAPI; elsewhere a class is the directory
// `<device directory>/<class_guid>` whose entries, in name order, are its members.
DeviceLookup find_device_interface(const char* class_guid, uint32_t index, char* path, size_t path_size);

// Moves the device directory (default "/run/efilink"); null restores the default. Windows has
// no such directory and ignores it.
void set_device_directory(const char* directory);
// The device directory now in use ("" on Windows).
std::string device_directory();

}  // namespace efi::platform
