#include "platform/system_error.h"

#include <cerrno>
#include <system_error>

namespace efi::platform {

uint32_t last_error() { return static_cast<uint32_t>(errno); }
void set_last_error(uint32_t error) { errno = static_cast<int>(error); }
bool is_timeout(uint32_t error) { return error == ETIMEDOUT; }

std::string system_error_text(uint32_t error) {
  return std::system_category().message(static_cast<int>(error)) + "\n";
}

}  // namespace efi::platform
