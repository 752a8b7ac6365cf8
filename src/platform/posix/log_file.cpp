#include "platform/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace efi::platform {

void LogFileTraits::close(Raw raw) noexcept { ::close(static_cast<int>(raw)); }

LogFile create_log_file(const char* path) {
  if (!path || !*path) {
    errno = ENOENT;
    return {};
  }
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  return fd < 0 ? LogFile{} : LogFile(fd);
}

bool append_log(const LogFile& file, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = write(static_cast<int>(file.get()), bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

std::string environment_variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace efi::platform
