#pragma once

#include <cstdint>
#include <string>

#include "platform/module.h"

namespace efi {

// The UART driver library's functions, as the serial link calls them. Windows binds them by
// export ordinal, other systems by name; on 32-bit Windows they are __stdcall.
struct UartDriver {
  using Init = int32_t(EFI_ADAPTER_CALL*)();
  using OpenPort = int32_t(EFI_ADAPTER_CALL*)(int32_t port, int32_t base, int32_t irq, int32_t card_type,
                                              int32_t channel, int32_t card_parameter, int32_t reserved);
  using SetBaudDiv = int32_t(EFI_ADAPTER_CALL*)(int32_t baud_code, int32_t divisor);
  using SetPortCharacteristics = int32_t(EFI_ADAPTER_CALL*)(int32_t port_id, int32_t baud_code, int32_t parity_code,
                                                            int32_t length_code, int32_t stop_code,
                                                            int32_t protocol_code);
  using Flush = int32_t(EFI_ADAPTER_CALL*)(int32_t port_id, int32_t which);
  using GetPort = int32_t(EFI_ADAPTER_CALL*)(int32_t port_id, void* record, int32_t mode);
  using PutPacket = int32_t(EFI_ADAPTER_CALL*)(int32_t port_id, int32_t count, const void* buffer);
  using GetPacket = int32_t(EFI_ADAPTER_CALL*)(int32_t port_id, int32_t count, void* buffer);
  using Cleanup = int32_t(EFI_ADAPTER_CALL*)(int32_t port_id);

  Init WCSCVxDInit = nullptr;
  OpenPort WCSCVxDOpenPort = nullptr;
  SetBaudDiv WCSCVxDSetBaudDiv = nullptr;
  SetPortCharacteristics WCSCVxDSetPortCharacteristics = nullptr;
  Flush WCSCVxDFlush = nullptr;
  GetPort WCSCVxDGetPort = nullptr;
  PutPacket WCSCVxDPutPacket = nullptr;
  GetPacket WCSCVxDGetPacket = nullptr;
  Cleanup WCSCVxDCleanup = nullptr;

  // Loads `file` and binds every function; false (with `missing` naming the first function not
  // found, empty when the file itself did not load) leaves nothing bound.
  bool bind(const std::string& file, std::string& missing);
  bool bound() const { return module_ && WCSCVxDInit; }

 private:
  platform::Module module_;
};


}  // namespace efi
