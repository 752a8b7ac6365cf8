#pragma once

#include <cstdint>

namespace efi {

// The documented name of a library status ("STATUS_CR_READ_FAILED"), "OK" for 0, "UNIT_STATUS"
// for a unit's own 16-bit status, and "UNKNOWN" for anything else.
const char* status_name(uint32_t status);

}  // namespace efi
