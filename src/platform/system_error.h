#pragma once

#include <cstdint>

namespace efi::platform {

// The calling thread's last system error code (GetLastError or errno).
uint32_t last_error();

}  // namespace efi::platform
