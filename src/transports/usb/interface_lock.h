#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/named_objects.h"
#include "report/report.h"
#include "transports/usb/device_list.h"

namespace efi {

inline constexpr const char* USB_MUTEX_NAME = "Tarvendix_USB_MutexObject";
inline constexpr const char* USB_FILE_MAPPING_NAME = "Tarvendix_USB_FileMappingObject";
inline constexpr size_t USB_DEVICE_LIST_SIZE = 0x1000;

// The machine-wide lock of the USB units and the shared list of attached units, as this process
// holds them: the newest mutex and mapping handles it opened.
class InterfaceLock {
 public:
  uint32_t USB_LockInterface(const Reporter& report, uint32_t flags);
  uint32_t USB_ReleaseInterfaceLock(const Reporter& report, uint32_t flags);  // one unlock
  uint32_t USB_QueryInterface(const Reporter& report, uint32_t flags, void* list);
  uint32_t USB_QueryAndLockInterface(const Reporter& report, uint32_t flags, void* list);
  uint32_t USB_UpdateInterface(const Reporter& report, uint32_t flags, const void* list);
  uint32_t USB_ReleaseInterfaceLockWithList(const Reporter& report, uint32_t flags, const void* list);

 private:
  void build_device_list(const Reporter& report, const unsigned char* previous);
  void write_shared_list(const void* list);

  platform::NamedMutex G_USB_MutexHandle;
  platform::SharedMemory mapping;
  void* G_USB_FileMappingBuffer = nullptr;
  unsigned char new_list[USB_DEVICE_LIST_SIZE] = {};
};

}  // namespace efi
