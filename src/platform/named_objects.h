#pragma once

#include <cstddef>

namespace efi::platform {

// Machine-wide objects shared by every process, named without namespace prefix: Windows puts
// them in the global namespace, elsewhere they are POSIX shared-memory objects.

// A recursive mutex owned by a thread. Each open gives a handle of its own.
using NamedMutexHandle = void*;
enum class MutexWait { acquired, abandoned, failed };

NamedMutexHandle open_named_mutex(const char* name);
// Waits without time limit. `abandoned`: the previous owner ended while holding it; the caller now owns it.
MutexWait wait_named_mutex(NamedMutexHandle mutex);
bool release_named_mutex(NamedMutexHandle mutex);
void close_named_mutex(NamedMutexHandle mutex);

// A block of shared memory of fixed size, created zero-filled by the first open.
using SharedMemoryHandle = void*;

SharedMemoryHandle open_shared_memory(const char* name, size_t size, bool& already_existed);
void* map_shared_memory(SharedMemoryHandle memory, size_t size);
void unmap_shared_memory(void* view, size_t size);
void close_shared_memory(SharedMemoryHandle memory);

// Removes the named objects from the machine where they outlive their processes (not on
// Windows); for tests that need a machine on which nothing was created yet.
void remove_named_objects(const char* mutex_name, const char* memory_name);

}  // namespace efi::platform
