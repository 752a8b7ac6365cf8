#pragma once

#include <string>

#include "platform/device_interface.h"

namespace efi::platform {

// Device-interface classes as directories: the entries of `<directory>/<class_guid>`, in name
// order, are the class's members, and an entry's path is the member's device path.
DeviceLookup find_in_device_directory(const std::string& directory, const char* class_guid, uint32_t index,
                                      char* path, size_t path_size);

}  // namespace efi::platform
