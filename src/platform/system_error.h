#pragma once

#include <cstdint>
#include <string>

namespace efi::platform {

// The calling thread's last system error code (GetLastError or errno).
uint32_t last_error();
void set_last_error(uint32_t error);
// True for the code a bounded operation leaves when its time ran out.
bool is_timeout(uint32_t error);

// The system's text for an error code, ending with a line break as the system's message texts do;
// empty when the system has none.
std::string system_error_text(uint32_t error);

}  // namespace efi::platform
