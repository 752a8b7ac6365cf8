#pragma once

#include <cstddef>

#include "platform/handle.h"

namespace efi::platform {

// Machine-wide objects shared by every process, named without namespace prefix: Windows puts
// them in the global namespace, elsewhere they are POSIX shared-memory objects.

struct NamedMutexTraits {
  using Raw = void*;
  static constexpr Raw none() { return nullptr; }
  static void close(Raw raw) noexcept;
};
// A recursive mutex owned by a thread. Each open gives a handle of its own.
using NamedMutex = Owned<NamedMutexTraits>;
enum class MutexWait { acquired, abandoned, failed };

NamedMutex open_named_mutex(const char* name);
// Waits without time limit. `abandoned`: the previous owner ended while holding it; the caller now owns it.
MutexWait wait_named_mutex(const NamedMutex& mutex);
bool release_named_mutex(const NamedMutex& mutex);

struct SharedMemoryTraits {
  using Raw = void*;
  static constexpr Raw none() { return nullptr; }
  static void close(Raw raw) noexcept;
};
// A block of shared memory of fixed size, created zero-filled by the first open.
using SharedMemory = Owned<SharedMemoryTraits>;

SharedMemory open_shared_memory(const char* name, size_t size, bool& already_existed);
void* map_shared_memory(const SharedMemory& memory, size_t size);
void unmap_shared_memory(void* view, size_t size);

// Removes the named objects from the machine where they outlive their processes (not on
// Windows); for tests that need a machine on which nothing was created yet.
void remove_named_objects(const char* mutex_name, const char* memory_name);

#if defined(EFI_TESTING)
// The testing build can put every named object under a prefix of its own, so test runs on one
// machine never meet each other's objects (or a host's).
void set_named_object_prefix(const char* prefix);
#endif

}  // namespace efi::platform
