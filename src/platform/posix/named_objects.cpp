#include "platform/named_objects.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <string>

#include "platform/clock.h"
#include "platform/fault.h"

namespace efi::platform {

namespace {

// How long an opener waits for the creator of an object to finish setting it up.
constexpr int SETUP_WAIT_MS = 2000;
// The mark of a finished setup names the mutex layout, so hosts of another width never share it.
constexpr uint32_t MUTEX_MARK_MASK = 0xFFFFFF00;
constexpr uint32_t MUTEX_READY = 0x4D555400 | static_cast<uint32_t>(sizeof(pthread_mutex_t));

struct SharedMutexBlock {
  std::atomic<uint32_t> ready;
  pthread_mutex_t mutex;
};

// One mapping of each named mutex per process, shared by all of its handles. The mapping stays
// until the process ends, even after its last handle: a thread may still own the mutex then (as
// on Windows, closing a handle does not release it), and the system can mark a robust mutex
// abandoned at the owner's exit only while it is mapped.
struct MappedMutex {
  SharedMutexBlock* block = nullptr;
};
std::map<std::string, MappedMutex> mapped_mutexes;

struct MutexHandle {
  std::string name;
};

#if defined(EFI_TESTING)
std::string name_prefix;
#else
const std::string name_prefix;
#endif

std::string object_name(const char* name) { return "/" + name_prefix + name; }

// Opens the object, creating it when it does not exist, and takes the advisory lock that every
// process holds while it sets an object up; grows it to `size` (zero-filled) when it is smaller.
// A process that died half-way through a setup leaves no lock behind, so the next opener finds
// the object unfinished and completes it. `was_sized`: the object already had its size.
int open_for_setup(const std::string& name, size_t size, bool& was_sized) {
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  fchmod(fd, 0666);  // the umask must not keep other users' hosts out (fails harmlessly if not ours)
  for (int waited = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; ++waited) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= SETUP_WAIT_MS) {
      const int error = errno == EWOULDBLOCK ? ETIMEDOUT : errno;
      close(fd);
      errno = error;
      return -1;
    }
    sleep_ms(1);
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  was_sized = static_cast<size_t>(status.st_size) >= size;
  if (!was_sized && ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// Ends a setup: gives the advisory lock back and closes the descriptor.
void finish_setup(int fd) {
  flock(fd, LOCK_UN);
  close(fd);
}

SharedMutexBlock* map_mutex_block(const std::string& name) {
  bool was_sized = false;
  const int fd = open_for_setup(name, sizeof(SharedMutexBlock), was_sized);
  if (fd < 0) return nullptr;
  void* view = mmap(nullptr, sizeof(SharedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    finish_setup(fd);
    errno = error;
    return nullptr;
  }
  auto* block = static_cast<SharedMutexBlock*>(view);
  const uint32_t mark = block->ready.load(std::memory_order_acquire);
  if (mark != MUTEX_READY && (mark & MUTEX_MARK_MASK) == (MUTEX_READY & MUTEX_MARK_MASK)) {
    // Set up by a process whose mutex has another layout (a 32-bit host beside a 64-bit one):
    // sharing it would corrupt it, so this open fails.
    finish_setup(fd);
    munmap(view, sizeof(SharedMutexBlock));
    errno = EPROTO;
    return nullptr;
  }
  if (mark != MUTEX_READY) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&block->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    block->ready.store(MUTEX_READY, std::memory_order_release);
  }
  finish_setup(fd);
  return block;
}

SharedMutexBlock* block_of(const NamedMutex& mutex) {
  if (!mutex) return nullptr;
  auto found = mapped_mutexes.find(static_cast<MutexHandle*>(mutex.get())->name);
  return found == mapped_mutexes.end() ? nullptr : found->second.block;
}

}  // namespace

NamedMutex open_named_mutex(const char* name) {
  if (fails_now(FaultPoint::named_mutex_open)) return {};
  const std::string shared_name = object_name(name);
  MappedMutex& mapped = mapped_mutexes[shared_name];
  if (!mapped.block) mapped.block = map_mutex_block(shared_name);
  if (!mapped.block) {
    mapped_mutexes.erase(shared_name);
    return {};
  }
  return NamedMutex(new MutexHandle{shared_name});
}

MutexWait wait_named_mutex(const NamedMutex& mutex) {
  SharedMutexBlock* block = block_of(mutex);
  if (!block) return MutexWait::failed;
  const int result = pthread_mutex_lock(&block->mutex);
  if (result == 0) return MutexWait::acquired;
  if (result == EOWNERDEAD) {
    pthread_mutex_consistent(&block->mutex);
    return MutexWait::abandoned;
  }
  return MutexWait::failed;
}

bool release_named_mutex(const NamedMutex& mutex) {
  SharedMutexBlock* block = block_of(mutex);
  return block && pthread_mutex_unlock(&block->mutex) == 0;
}

void NamedMutexTraits::close(Raw raw) noexcept { delete static_cast<MutexHandle*>(raw); }

// Shared-memory handles carry fd + 1 so that descriptor 0 is not mistaken for "none".
SharedMemory open_shared_memory(const char* name, size_t size, bool& already_existed) {
  if (fails_now(FaultPoint::shared_memory_open)) return {};
  bool was_sized = false;
  const int fd = open_for_setup(object_name(name), size, was_sized);
  if (fd < 0) return {};
  flock(fd, LOCK_UN);
  already_existed = was_sized;
  return SharedMemory(reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1));
}

void* map_shared_memory(const SharedMemory& memory, size_t size) {
  if (!memory || fails_now(FaultPoint::shared_memory_map)) return nullptr;
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(memory.get())) - 1;
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

void unmap_shared_memory(void* view, size_t size) {
  if (view) munmap(view, size);
}

void SharedMemoryTraits::close(Raw raw) noexcept { ::close(static_cast<int>(reinterpret_cast<intptr_t>(raw)) - 1); }

void remove_named_objects(const char* mutex_name, const char* memory_name) {
  shm_unlink(object_name(mutex_name).c_str());
  shm_unlink(object_name(memory_name).c_str());
  // Handles still open here keep their old mapping; new opens must not find it.
  mapped_mutexes.erase(object_name(mutex_name));
}

#if defined(EFI_TESTING)
void set_named_object_prefix(const char* prefix) { name_prefix = prefix ? prefix : ""; }
#endif

}  // namespace efi::platform
