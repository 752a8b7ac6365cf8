#pragma once

#include <cstddef>
#include <cstdint>

namespace efi {

inline constexpr const char* USB_MUTEX_NAME = "Tarvendix_USB_MutexObject";
inline constexpr const char* USB_FILE_MAPPING_NAME = "Tarvendix_USB_FileMappingObject";
inline constexpr size_t USB_DEVICE_LIST_SIZE = 0x1000;
inline constexpr uint32_t NO_OWNER = 0xFFFFFFFF;

// Entry of the shared device list: entry_size (32-bit), owner (32-bit), entry_flag (8-bit), the
// device path with its terminating zero, then two zero bytes; entries follow one another
// unaligned, and the list ends at an entry_size of 0.
inline constexpr size_t DEVICE_LIST_ENTRY_OVERHEAD = 12;
inline constexpr size_t DEVICE_LIST_PATH_OFFSET = 9;

uint32_t USB_LockInterface(uint32_t flags);
uint32_t USB_ReleaseInterfaceLock(uint32_t flags);  // one unlock
uint32_t USB_QueryInterface(uint32_t flags, void* list);
uint32_t USB_QueryAndLockInterface(uint32_t flags, void* list);
uint32_t USB_UpdateInterface(uint32_t flags, const void* list);
uint32_t USB_ReleaseInterfaceLockWithList(uint32_t flags, const void* list);

// Closes this process's handles and forgets them, as in a process that never locked (tests).
void reset_interface_lock_state();

}  // namespace efi
