#pragma once

#include <cstddef>
#include <cstdint>

#include "report/report.h"

namespace efi {

// Stores the narrow path of member `index` of the device-interface class `class_guid` into
// `path`; 1 on success, 0 (after its message, unless suppressed) otherwise.
uint32_t GetDevicePath(const Reporter& report, const char* class_guid, char* path, size_t path_size, uint32_t index);

}  // namespace efi
