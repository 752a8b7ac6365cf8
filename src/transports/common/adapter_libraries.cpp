#include "transports/common/adapter_libraries.h"

#include <efilink/efilink.h>

namespace efi {

std::optional<std::string>* AdapterLibraries::entry(uint32_t link_flag) {
  switch (link_flag) {
    case EFI_FLAG_USB_CAN:
      return &usb_can_;
    case EFI_FLAG_PCAN:
      return &pcan_;
    case EFI_FLAG_UART_SERIAL:
      return &uart_driver_;
    default:
      return nullptr;
  }
}

uint32_t AdapterLibraries::set(uint32_t link_flag, const char* path) {
  std::optional<std::string>* stored = entry(link_flag);
  if (!stored) return 1;
  if (path)
    *stored = path;
  else
    stored->reset();
  return 0;
}

std::optional<std::string> AdapterLibraries::chosen(uint32_t link_flag) const {
  AdapterLibraries& self = const_cast<AdapterLibraries&>(*this);  // entry() only finds, never changes
  const std::optional<std::string>* stored = self.entry(link_flag);
  return stored ? *stored : std::nullopt;
}

}  // namespace efi
