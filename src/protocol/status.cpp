#include "protocol/status.h"

#include <efilink/efilink.h>

namespace efi {

namespace {
struct StatusName {
  uint32_t value;
  const char* name;
};
constexpr StatusName STATUS_NAMES[] = {
    {STATUS_CR_NOT_INITIALIZED, "STATUS_CR_NOT_INITIALIZED"},
    {STATUS_CR_LOCKED_BUFFER_FAILED, "STATUS_CR_LOCKED_BUFFER_FAILED"},
    {STATUS_CR_NOT_CONNECTED, "STATUS_CR_NOT_CONNECTED"},
    {STATUS_CR_SERIAL_TRANSFER_FAILED, "STATUS_CR_SERIAL_TRANSFER_FAILED"},
    {STATUS_CR_RESPONSE_BUFFER_TOO_SMALL, "STATUS_CR_RESPONSE_BUFFER_TOO_SMALL"},
    {STATUS_CR_WRITE_FAILED, "STATUS_CR_WRITE_FAILED"},
    {STATUS_CR_READ_FAILED, "STATUS_CR_READ_FAILED"},
    {STATUS_CR_COMMAND_TOO_LARGE, "STATUS_CR_COMMAND_TOO_LARGE"},
    {STATUS_CR_BAD_RESPONSE_MARKER, "STATUS_CR_BAD_RESPONSE_MARKER"},
    {STATUS_CR_OPEN_FAILED, "STATUS_CR_OPEN_FAILED"},
    {STATUS_TS_BAD_ARRAY, "STATUS_TS_BAD_ARRAY"},
    {STATUS_TS_EMPTY_ARRAY, "STATUS_TS_EMPTY_ARRAY"},
};
}  // namespace

const char* status_name(uint32_t status) {
  if (status == 0) return "OK";
  for (const auto& entry : STATUS_NAMES)
    if (entry.value == status) return entry.name;
  if (status <= 0xFFFF) return "UNIT_STATUS";
  return "UNKNOWN";
}

}  // namespace efi
