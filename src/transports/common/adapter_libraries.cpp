#include "transports/common/adapter_libraries.h"

#include <efilink/efilink.h>

#include "platform/module.h"
#include "protocol/status.h"

namespace efi {

namespace {
int index_of(uint32_t link_flag) {
  switch (link_flag) {
    case EFI_FLAG_USB_CAN:
      return static_cast<int>(AdapterLibrary::usb_can);
    case EFI_FLAG_PCAN:
      return static_cast<int>(AdapterLibrary::pcan);
    case EFI_FLAG_UART_SERIAL:
      return static_cast<int>(AdapterLibrary::uart_driver);
    default:
      return -1;
  }
}
}  // namespace

uint32_t AdapterLibraries::set(uint32_t link_flag, const char* path) {
  const int index = index_of(link_flag);
  if (index < 0) return LINK_FAILED;
  paths_[index] = path ? path : "";
  return 0;
}

std::string AdapterLibraries::file(AdapterLibrary which) const {
  const std::string& path = paths_[static_cast<int>(which)];
  return path.empty() ? default_adapter_library(which) : path;
}

const char* default_adapter_library(AdapterLibrary which) {
  const bool dlls = platform::modules_are_dlls();
  switch (which) {
    case AdapterLibrary::usb_can:
      return dlls ? (sizeof(void*) == 4 ? "USBCAN32.dll" : "USBCAN64.dll") : "libusbcan.so";
    case AdapterLibrary::pcan:
      return dlls ? "PCANBasic.dll" : "libpcanbasic.so";
    case AdapterLibrary::uart_driver:
      return dlls ? "CDRVXD32.dll" : "libcdrvxd32.so";
  }
  return "";
}

}  // namespace efi
