#include "platform/named_objects.h"

#include <windows.h>

#include <string>

#include "platform/fault.h"

namespace efi::platform {

namespace {
std::string global_name(const char* name) { return std::string("Global\\") + name; }

}  // namespace

NamedMutexHandle open_named_mutex(const char* name) {
  if (fails_now(FaultPoint::named_mutex_open)) return nullptr;
  return CreateMutexA(nullptr, FALSE, global_name(name).c_str());
}

MutexWait wait_named_mutex(NamedMutexHandle mutex) {
  switch (WaitForSingleObject(mutex, INFINITE)) {
    case WAIT_OBJECT_0:
      return MutexWait::acquired;
    case WAIT_ABANDONED:
      return MutexWait::abandoned;
    default:
      return MutexWait::failed;
  }
}

bool release_named_mutex(NamedMutexHandle mutex) { return ReleaseMutex(mutex) != 0; }

void close_named_mutex(NamedMutexHandle mutex) {
  if (mutex) CloseHandle(mutex);
}

SharedMemoryHandle open_shared_memory(const char* name, size_t size, bool& already_existed) {
  if (fails_now(FaultPoint::shared_memory_open)) return nullptr;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                      global_name(name).c_str());
  already_existed = mapping && GetLastError() == ERROR_ALREADY_EXISTS;
  return mapping;
}

void* map_shared_memory(SharedMemoryHandle memory, size_t size) {
  if (!memory || fails_now(FaultPoint::shared_memory_map)) return nullptr;
  return MapViewOfFile(memory, FILE_MAP_ALL_ACCESS, 0, 0, size);
}

void unmap_shared_memory(void* view, size_t) {
  if (view) UnmapViewOfFile(view);
}

void close_shared_memory(SharedMemoryHandle memory) {
  if (memory) CloseHandle(memory);
}

// Windows removes named objects with their last handle.
void remove_named_objects(const char*, const char*) {}

}  // namespace efi::platform
