#include "platform/named_objects.h"

#include <windows.h>

#include <string>

#include "platform/fault.h"

namespace efi::platform {

namespace {
#if defined(EFI_TESTING)
std::string name_prefix;
#else
const std::string name_prefix;
#endif

std::string global_name(const char* name) { return "Global\\" + name_prefix + name; }
}  // namespace

void NamedMutexTraits::close(Raw raw) noexcept { CloseHandle(raw); }

NamedMutex open_named_mutex(const char* name) {
  if (fails_now(FaultPoint::named_mutex_open)) return {};
  return NamedMutex(CreateMutexA(nullptr, FALSE, global_name(name).c_str()));
}

MutexWait wait_named_mutex(const NamedMutex& mutex) {
  switch (WaitForSingleObject(mutex.get(), INFINITE)) {
    case WAIT_OBJECT_0:
      return MutexWait::acquired;
    case WAIT_ABANDONED:
      return MutexWait::abandoned;
    default:
      return MutexWait::failed;
  }
}

bool release_named_mutex(const NamedMutex& mutex) { return ReleaseMutex(mutex.get()) != 0; }

void SharedMemoryTraits::close(Raw raw) noexcept { CloseHandle(raw); }

SharedMemory open_shared_memory(const char* name, size_t size, bool& already_existed) {
  if (fails_now(FaultPoint::shared_memory_open)) return {};
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                      global_name(name).c_str());
  already_existed = mapping && GetLastError() == ERROR_ALREADY_EXISTS;
  return SharedMemory(mapping);
}

void* map_shared_memory(const SharedMemory& memory, size_t size) {
  if (!memory || fails_now(FaultPoint::shared_memory_map)) return nullptr;
  return MapViewOfFile(memory.get(), FILE_MAP_ALL_ACCESS, 0, 0, size);
}

void unmap_shared_memory(void* view, size_t) {
  if (view) UnmapViewOfFile(view);
}

// Windows removes named objects with their last handle.
void remove_named_objects(const char*, const char*) {}

#if defined(EFI_TESTING)
void set_named_object_prefix(const char* prefix) { name_prefix = prefix ? prefix : ""; }
#endif

}  // namespace efi::platform
