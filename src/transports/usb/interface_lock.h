#pragma once

#include <cstddef>
#include <cstdint>

#include "transports/usb/device_list.h"

namespace efi {

inline constexpr const char* USB_MUTEX_NAME = "Tarvendix_USB_MutexObject";
inline constexpr const char* USB_FILE_MAPPING_NAME = "Tarvendix_USB_FileMappingObject";
inline constexpr size_t USB_DEVICE_LIST_SIZE = 0x1000;

uint32_t USB_LockInterface(uint32_t flags);
uint32_t USB_ReleaseInterfaceLock(uint32_t flags);  // one unlock
uint32_t USB_QueryInterface(uint32_t flags, void* list);
uint32_t USB_QueryAndLockInterface(uint32_t flags, void* list);
uint32_t USB_UpdateInterface(uint32_t flags, const void* list);
uint32_t USB_ReleaseInterfaceLockWithList(uint32_t flags, const void* list);

// Closes this process's handles and forgets them, as in a process that never locked (tests).
void reset_interface_lock_state();

}  // namespace efi
