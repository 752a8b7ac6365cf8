#include "platform/system_error.h"

#include <windows.h>

namespace efi::platform {

uint32_t last_error() { return GetLastError(); }

}  // namespace efi::platform
