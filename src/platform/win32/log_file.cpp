#include "platform/log_file.h"

#include <windows.h>

namespace efi::platform {

void LogFileTraits::close(Raw raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

LogFile create_log_file(const char* path) {
  if (!path || !*path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return {};
  }
  // Others may read the trace while it grows.
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? LogFile{} : LogFile(reinterpret_cast<intptr_t>(file));
}

bool append_log(const LogFile& file, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const DWORD piece = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file.get()), bytes, piece, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

std::string environment_variable(const char* name) {
  char value[4096];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

}  // namespace efi::platform
