#include "platform/system_error.h"

#include <windows.h>

namespace efi::platform {

uint32_t last_error() { return GetLastError(); }
void set_last_error(uint32_t error) { SetLastError(error); }
bool is_timeout(uint32_t error) { return error == ERROR_TIMEOUT || error == WAIT_TIMEOUT; }

}  // namespace efi::platform
