#include "transports/usb/interface_lock.h"

#include <cstring>

#include "platform/system_error.h"
#include "protocol/status.h"
#include "transports/common/device_path.h"
#include "transports/usb/usb_link.h"

namespace efi {

// Rebuilds the list from the attached units, carrying owners over by path from `previous`.
void InterfaceLock::build_device_list(const Reporter& report, const unsigned char* previous) {
  std::memset(new_list, 0, sizeof new_list);
  size_t at = 0;
  for (uint32_t index = 0;; ++index) {
    char path[USB_DEVICE_PATH_SIZE] = {};
    if (!GetDevicePath(report, USB_DEVICE_CLASS, path, sizeof path, index)) break;
    uint32_t owner = NO_OWNER;
    if (previous) previous_owner(previous, USB_DEVICE_LIST_SIZE, path, owner);
    if (!append_device_entry(new_list, sizeof new_list, at, path, owner)) break;
  }
}

// Replaces the shared list with the host's, if this process has the mapping.
void InterfaceLock::write_shared_list(const void* list) {
  if (!mapping || G_USB_FileMappingBuffer) return;
  G_USB_FileMappingBuffer = platform::map_shared_memory(mapping, USB_DEVICE_LIST_SIZE);
  if (!G_USB_FileMappingBuffer) return;
  std::memcpy(G_USB_FileMappingBuffer, list, USB_DEVICE_LIST_SIZE);
  platform::unmap_shared_memory(G_USB_FileMappingBuffer, USB_DEVICE_LIST_SIZE);
  G_USB_FileMappingBuffer = nullptr;
}

uint32_t InterfaceLock::USB_LockInterface(const Reporter& report, uint32_t) {
  platform::NamedMutex mutex = platform::open_named_mutex(USB_MUTEX_NAME);
  if (!mutex) {
    report.error(TextWidth::narrow, "CreateMutex or OpenMutex failed");
    return LINK_FAILED;
  }
  // The newest handle replaces the previous one; the mutex lives on through it.
  G_USB_MutexHandle = std::move(mutex);
  if (platform::wait_named_mutex(G_USB_MutexHandle) == platform::MutexWait::abandoned)
    report.error(TextWidth::narrow, "WaitForSingleObject G_USB_MutexHandle failed WAIT_ABANDONED");
  return 0;
}

uint32_t InterfaceLock::USB_ReleaseInterfaceLock(const Reporter& report, uint32_t) {
  if (!G_USB_MutexHandle) {
    report.error(TextWidth::narrow, "USB_ReleaseInterfaceLock error ... G_USB_MutexHandle == NULL!");
    return LINK_FAILED;
  }
  platform::release_named_mutex(G_USB_MutexHandle);
  return 0;
}

uint32_t InterfaceLock::USB_QueryInterface(const Reporter& report, uint32_t flags, void* list) {
  if (USB_LockInterface(report, flags)) return LINK_FAILED;

  bool existed = false;
  platform::SharedMemory opened = platform::open_shared_memory(USB_FILE_MAPPING_NAME, USB_DEVICE_LIST_SIZE, existed);
  if (!opened) {
    report.error(TextWidth::narrow, "CreateFileMapping failed GetLastError = %08x", platform::last_error());
    USB_ReleaseInterfaceLock(report, flags);
    return LINK_FAILED;
  }
  mapping = std::move(opened);

  G_USB_FileMappingBuffer = platform::map_shared_memory(mapping, USB_DEVICE_LIST_SIZE);
  if (!G_USB_FileMappingBuffer) {
    report.error(TextWidth::narrow, "G_USB_FileMappingBuffer == NULL Error");
    mapping.reset();
    USB_ReleaseInterfaceLock(report, flags);
    return LINK_FAILED;
  }

  auto* view = static_cast<unsigned char*>(G_USB_FileMappingBuffer);
  build_device_list(report, existed ? view : nullptr);
  std::memcpy(view, new_list, USB_DEVICE_LIST_SIZE);
  std::memcpy(list, view, USB_DEVICE_LIST_SIZE);

  platform::unmap_shared_memory(G_USB_FileMappingBuffer, USB_DEVICE_LIST_SIZE);
  G_USB_FileMappingBuffer = nullptr;
  USB_ReleaseInterfaceLock(report, flags);
  return 0;
}

uint32_t InterfaceLock::USB_QueryAndLockInterface(const Reporter& report, uint32_t flags, void* list) {
  if (USB_LockInterface(report, flags)) return LINK_FAILED;
  return USB_QueryInterface(report, flags, list);
}

uint32_t InterfaceLock::USB_UpdateInterface(const Reporter& report, uint32_t flags, const void* list) {
  if (USB_LockInterface(report, flags)) return LINK_FAILED;
  write_shared_list(list);
  USB_ReleaseInterfaceLock(report, flags);
  return 0;
}

uint32_t InterfaceLock::USB_ReleaseInterfaceLockWithList(const Reporter& report, uint32_t flags, const void* list) {
  if (USB_LockInterface(report, flags) == 0) {
    write_shared_list(list);
    USB_ReleaseInterfaceLock(report, flags);
  }
  return USB_ReleaseInterfaceLock(report, flags);
}

}  // namespace efi
