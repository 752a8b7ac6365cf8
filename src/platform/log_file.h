#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace efi::platform {

struct LogFileTraits {
  using Raw = intptr_t;
  static constexpr Raw none() { return -1; }
  static void close(Raw raw) noexcept;
};
// A plain file that the library writes lines to (exchange traces), closed when dropped.
using LogFile = Owned<LogFileTraits>;

// Creates the file at `path`, or empties it when it exists, for writing from its start. Empty on
// failure; last_error() tells why.
LogFile create_log_file(const char* path);

// Writes all `size` bytes at the file's end; false when the system took fewer.
bool append_log(const LogFile& file, const void* data, size_t size);

// The value of an environment variable of the process; empty when it is not set.
std::string environment_variable(const char* name);

}  // namespace efi::platform
