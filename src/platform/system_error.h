#pragma once

#include <cstdint>

namespace efi::platform {

// The calling thread's last system error code (GetLastError or errno).
uint32_t last_error();
void set_last_error(uint32_t error);
// True for the code a bounded operation leaves when its time ran out.
bool is_timeout(uint32_t error);

}  // namespace efi::platform
