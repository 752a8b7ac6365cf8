#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace efi {

// The library files the host chose for the adapter links (USB-CAN 0x100, PCAN 0x200000, UART
// driver 0x2000). A link reads its entry at initialisation; without one it loads its default file.
class AdapterLibraries {
 public:
  // Stores `path` for the link that `link_flag` selects (null: back to the default). 0, or 1 when
  // the flag names no adapter link.
  uint32_t set(uint32_t link_flag, const char* path);
  // The host's file for that link, if it chose one.
  std::optional<std::string> chosen(uint32_t link_flag) const;

 private:
  std::optional<std::string>* entry(uint32_t link_flag);
  std::optional<std::string> usb_can_, pcan_, uart_driver_;
};

}  // namespace efi
