#include "transports/usb/interface_lock.h"

#include <cstring>

#include "api/messages.h"
#include "platform/named_objects.h"
#include "transports/usb/device_list.h"
#include "platform/system_error.h"
#include "transports/usb/usb_link.h"

namespace efi {

namespace {

struct LockState {
  platform::NamedMutexHandle G_USB_MutexHandle = nullptr;
  platform::SharedMemoryHandle mapping = nullptr;
  void* G_USB_FileMappingBuffer = nullptr;
  unsigned char new_list[USB_DEVICE_LIST_SIZE] = {};
};
LockState lock;

// Rebuilds the list from the attached units, carrying owners over by path from `previous`.
void build_device_list(const unsigned char* previous) {
  std::memset(lock.new_list, 0, sizeof lock.new_list);
  size_t at = 0;
  for (uint32_t index = 0;; ++index) {
    char path[USB_DEVICE_PATH_SIZE] = {};
    if (!GetDevicePath(USB_DEVICE_CLASS, path, sizeof path, index)) break;
    uint32_t owner = NO_OWNER;
    if (previous) previous_owner(previous, USB_DEVICE_LIST_SIZE, path, owner);
    if (!append_device_entry(lock.new_list, sizeof lock.new_list, at, path, owner)) break;
  }
}

// Replaces the shared list with the host's, if this process has the mapping.
void write_shared_list(const void* list) {
  if (!lock.mapping || lock.G_USB_FileMappingBuffer) return;
  lock.G_USB_FileMappingBuffer = platform::map_shared_memory(lock.mapping, USB_DEVICE_LIST_SIZE);
  if (!lock.G_USB_FileMappingBuffer) return;
  std::memcpy(lock.G_USB_FileMappingBuffer, list, USB_DEVICE_LIST_SIZE);
  platform::unmap_shared_memory(lock.G_USB_FileMappingBuffer, USB_DEVICE_LIST_SIZE);
  lock.G_USB_FileMappingBuffer = nullptr;
}

}  // namespace

void reset_interface_lock_state() {
  if (lock.G_USB_MutexHandle) platform::close_named_mutex(lock.G_USB_MutexHandle);
  if (lock.mapping) platform::close_shared_memory(lock.mapping);
  lock = LockState{};
}

uint32_t USB_LockInterface(uint32_t) {
  platform::NamedMutexHandle mutex = platform::open_named_mutex(USB_MUTEX_NAME);
  if (!mutex) {
    report_error(TextWidth::narrow, "CreateMutex or OpenMutex failed");
    return 1;
  }
  // The newest handle replaces the previous one; the mutex lives on through it.
  if (lock.G_USB_MutexHandle) platform::close_named_mutex(lock.G_USB_MutexHandle);
  lock.G_USB_MutexHandle = mutex;
  if (platform::wait_named_mutex(mutex) == platform::MutexWait::abandoned)
    report_error(TextWidth::narrow, "WaitForSingleObject G_USB_MutexHandle failed WAIT_ABANDONED");
  return 0;
}

uint32_t USB_ReleaseInterfaceLock(uint32_t) {
  if (!lock.G_USB_MutexHandle) {
    report_error(TextWidth::narrow, "USB_ReleaseInterfaceLock error ... G_USB_MutexHandle == NULL!");
    return 1;
  }
  platform::release_named_mutex(lock.G_USB_MutexHandle);
  return 0;
}

uint32_t USB_QueryInterface(uint32_t flags, void* list) {
  if (USB_LockInterface(flags)) return 1;

  bool existed = false;
  platform::SharedMemoryHandle mapping =
      platform::open_shared_memory(USB_FILE_MAPPING_NAME, USB_DEVICE_LIST_SIZE, existed);
  if (!mapping) {
    report_error(TextWidth::narrow, "CreateFileMapping failed GetLastError = %08x", platform::last_error());
    USB_ReleaseInterfaceLock(flags);
    return 1;
  }
  if (lock.mapping) platform::close_shared_memory(lock.mapping);
  lock.mapping = mapping;

  lock.G_USB_FileMappingBuffer = platform::map_shared_memory(lock.mapping, USB_DEVICE_LIST_SIZE);
  if (!lock.G_USB_FileMappingBuffer) {
    report_error(TextWidth::narrow, "G_USB_FileMappingBuffer == NULL Error");
    platform::close_shared_memory(lock.mapping);
    lock.mapping = nullptr;
    USB_ReleaseInterfaceLock(flags);
    return 1;
  }

  auto* view = static_cast<unsigned char*>(lock.G_USB_FileMappingBuffer);
  build_device_list(existed ? view : nullptr);
  std::memcpy(view, lock.new_list, USB_DEVICE_LIST_SIZE);
  std::memcpy(list, view, USB_DEVICE_LIST_SIZE);

  platform::unmap_shared_memory(lock.G_USB_FileMappingBuffer, USB_DEVICE_LIST_SIZE);
  lock.G_USB_FileMappingBuffer = nullptr;
  USB_ReleaseInterfaceLock(flags);
  return 0;
}

uint32_t USB_QueryAndLockInterface(uint32_t flags, void* list) {
  if (USB_LockInterface(flags)) return 1;
  return USB_QueryInterface(flags, list);
}

uint32_t USB_UpdateInterface(uint32_t flags, const void* list) {
  if (USB_LockInterface(flags)) return 1;
  write_shared_list(list);
  USB_ReleaseInterfaceLock(flags);
  return 0;
}

uint32_t USB_ReleaseInterfaceLockWithList(uint32_t flags, const void* list) {
  if (USB_LockInterface(flags) == 0) {
    write_shared_list(list);
    USB_ReleaseInterfaceLock(flags);
  }
  return USB_ReleaseInterfaceLock(flags);
}

}  // namespace efi
