#pragma once

#include <efilink/efilink.h>

#include <cstdint>

namespace efi {

// Failure values the exports return beyond the documented STATUS_* words (efilink.h), each named
// here once. Hosts compare against these numbers, so they keep their values.
//
// An initialisation, close or exchange that failed where no documented status applies, and any
// other export's failure (a lock entry, a setting refused, a version text cut short).
inline constexpr uint32_t LINK_FAILED = 1;
// The USB-CAN module refused a call (open, a frame written, its receive event).
inline constexpr uint32_t USB_CAN_ADAPTER_FAILED = 10;
// The COM-port link's answer status while no answer came: never 0 and never an earlier answer's.
inline constexpr uint16_t NO_ANSWER_STATUS = 0xFFFF;

// The documented name of a library status ("STATUS_CR_READ_FAILED"), "OK" for 0, "UNIT_STATUS"
// for a unit's own 16-bit status, and "UNKNOWN" for anything else.
const char* status_name(uint32_t status);

}  // namespace efi
