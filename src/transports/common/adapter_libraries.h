#pragma once

#include <cstdint>
#include <string>

namespace efi {

// The adapter libraries some links load at initialisation, and the files they load them from.
enum class AdapterLibrary : uint8_t { usb_can, pcan, uart_driver };

// The file the next initialisation of each adapter link loads: its default name, or what the host
// set with EfiSetAdapterLibrary.
class AdapterLibraries {
 public:
  // `link_flag` is the link's selecting bit (0x100, 0x200000, 0x2000); a null path restores the
  // default. 0, or 1 for a flag that names no adapter link.
  uint32_t set(uint32_t link_flag, const char* path);
  std::string file(AdapterLibrary which) const;

 private:
  std::string paths_[3];
};

// PCANBasic.dll, USBCAN32.dll / USBCAN64.dll, CDRVXD32.dll on Windows; lib….so elsewhere.
const char* default_adapter_library(AdapterLibrary which);

}  // namespace efi
