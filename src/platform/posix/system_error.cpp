#include "platform/system_error.h"

#include <cerrno>

namespace efi::platform {

uint32_t last_error() { return static_cast<uint32_t>(errno); }

}  // namespace efi::platform
