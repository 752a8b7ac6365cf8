#include "platform/system_error.h"

#include <windows.h>

namespace efi::platform {

uint32_t last_error() { return GetLastError(); }
void set_last_error(uint32_t error) { SetLastError(error); }
bool is_timeout(uint32_t error) { return error == ERROR_TIMEOUT || error == WAIT_TIMEOUT; }

std::string system_error_text(uint32_t error) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                     nullptr);
  std::string result = length && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  return result;
}

}  // namespace efi::platform
