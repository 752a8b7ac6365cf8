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
#include <thread>

#include "platform/fault.h"

namespace efi::platform {

namespace {

// One named mutex as a process sees it. Between processes it is an exclusive lock on the shared
// object's file plus a holder mark inside the object: both mean the same to 32- and 64-bit
// processes, which a pthread_mutex_t in shared memory does not (its size and field order differ
// between the two ABIs, so mixed hosts would deadlock or corrupt it). The kernel drops the file
// lock of a process that ends; a mark still set then tells the next holder it was abandoned.
// Threads of this process queue on a private robust mutex, which reports a thread that ended
// holding it.
struct SharedMutexBlock {
  int fd = -1;
  std::atomic<uint32_t>* holder = nullptr;
  pthread_mutex_t threads;
  std::atomic<std::thread::id> owner{};
  uint32_t depth = 0;
};

// One block per name and process, shared by all of its handles.
struct MappedMutex {
  SharedMutexBlock block;
  int handles = 0;
  // At exit or unload a thread may still hold it: the process keeps the file lock and the mark
  // until it ends, but the private mutex must leave the thread's robust list before its memory goes.
  ~MappedMutex() {
    if (block.fd >= 0 && block.owner.load() == std::this_thread::get_id()) pthread_mutex_unlock(&block.threads);
  }
};
// Made by the first open and freed with its last entry, never by a static destructor: the
// library's unload closes its handles from a static destructor that may run after this file's.
std::map<std::string, MappedMutex>* mapped_mutexes = nullptr;

std::map<std::string, MappedMutex>& mutexes() {
  if (!mapped_mutexes) mapped_mutexes = new std::map<std::string, MappedMutex>;
  return *mapped_mutexes;
}

void forget_if_unused() {
  if (mapped_mutexes && mapped_mutexes->empty()) {
    delete mapped_mutexes;
    mapped_mutexes = nullptr;
  }
}

void forget(std::map<std::string, MappedMutex>::iterator entry) {
  mapped_mutexes->erase(entry);
  forget_if_unused();
}

struct MutexHandle {
  std::string name;
};

#if defined(EFI_TESTING)
std::string name_prefix;
#else
const std::string name_prefix;
#endif

std::string object_name(const char* name) { return "/" + name_prefix + name; }

// Opens the object, creating it when it does not exist, and grows it to `size` (zero-filled) when
// it is smaller. Growing to the same size is harmless when several processes do it at once, and
// an object whose creator died before giving it its size is simply completed. `was_sized`: the
// object already had its size.
int open_sized(const std::string& name, size_t size, bool& was_sized) {
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  fchmod(fd, 0666);  // the umask must not keep other users' hosts out (fails harmlessly if not ours)
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

bool map_mutex_block(const std::string& name, SharedMutexBlock& block) {
  bool was_sized = false;
  const int fd = open_sized(name, sizeof(std::atomic<uint32_t>), was_sized);
  if (fd < 0) return false;
  void* view = mmap(nullptr, sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  block.fd = fd;
  block.holder = static_cast<std::atomic<uint32_t>*>(view);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&block.threads, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return true;
}

void unmap_mutex_block(SharedMutexBlock& block) {
  pthread_mutex_destroy(&block.threads);
  munmap(block.holder, sizeof(std::atomic<uint32_t>));
  close(block.fd);
}

// Returns 0, EOWNERDEAD (taken, the previous holder ended without releasing) or an error.
int lock_block(SharedMutexBlock& block) {
  const std::thread::id self = std::this_thread::get_id();
  if (block.owner.load() == self) {
    ++block.depth;
    return 0;
  }
  const int result = pthread_mutex_lock(&block.threads);
  if (result == EOWNERDEAD) {
    // A thread of this process ended holding it; the process still has the file lock.
    pthread_mutex_consistent(&block.threads);
    block.owner.store(self);
    block.depth = 1;
    return EOWNERDEAD;
  }
  if (result != 0) return result;
  while (flock(block.fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    pthread_mutex_unlock(&block.threads);
    return error;
  }
  block.owner.store(self);
  block.depth = 1;
  return block.holder->exchange(static_cast<uint32_t>(getpid())) != 0 ? EOWNERDEAD : 0;
}

bool unlock_block(SharedMutexBlock& block) {
  if (block.owner.load() != std::this_thread::get_id()) return false;
  if (--block.depth > 0) return true;
  block.holder->store(0);
  flock(block.fd, LOCK_UN);
  block.owner.store(std::thread::id{});
  return pthread_mutex_unlock(&block.threads) == 0;
}

SharedMutexBlock* block_of(const NamedMutex& mutex) {
  if (!mutex) return nullptr;
  auto found = mutexes().find(static_cast<MutexHandle*>(mutex.get())->name);
  return found == mutexes().end() ? nullptr : &found->second.block;
}

}  // namespace

NamedMutex open_named_mutex(const char* name) {
  if (fails_now(FaultPoint::named_mutex_open)) return {};
  const std::string shared_name = object_name(name);
  MappedMutex& mapped = mutexes()[shared_name];
  if (mapped.block.fd < 0 && !map_mutex_block(shared_name, mapped.block)) {
    forget(mutexes().find(shared_name));
    return {};
  }
  ++mapped.handles;
  return NamedMutex(new MutexHandle{shared_name});
}

MutexWait wait_named_mutex(const NamedMutex& mutex) {
  SharedMutexBlock* block = block_of(mutex);
  if (!block) return MutexWait::failed;
  const int result = lock_block(*block);
  if (result == 0) return MutexWait::acquired;
  return result == EOWNERDEAD ? MutexWait::abandoned : MutexWait::failed;
}

bool release_named_mutex(const NamedMutex& mutex) {
  SharedMutexBlock* block = block_of(mutex);
  return block && unlock_block(*block);
}

void NamedMutexTraits::close(Raw raw) noexcept {
  auto* handle = static_cast<MutexHandle*>(raw);
  auto found = mutexes().find(handle->name);
  // A mutex that a thread of this process holds stays open, as it stays owned on Windows: other
  // processes see it abandoned when this one ends.
  if (found != mutexes().end() && --found->second.handles == 0 &&
      found->second.block.owner.load() == std::thread::id{}) {
    unmap_mutex_block(found->second.block);
    forget(found);
  } else if (found == mutexes().end()) {
    forget_if_unused();
  }
  delete handle;
}

// Shared-memory handles carry fd + 1 so that descriptor 0 is not mistaken for "none".
SharedMemory open_shared_memory(const char* name, size_t size, bool& already_existed) {
  if (fails_now(FaultPoint::shared_memory_open)) return {};
  bool was_sized = false;
  const int fd = open_sized(object_name(name), size, was_sized);
  if (fd < 0) return {};
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
  // New opens must not find the old object; handles still open here stop working. Called
  // while no other thread holds it.
  auto found = mutexes().find(object_name(mutex_name));
  if (found == mutexes().end()) {
    forget_if_unused();
  } else {
    if (found->second.block.owner.load() == std::this_thread::get_id()) {
      found->second.block.depth = 1;
      unlock_block(found->second.block);
    }
    unmap_mutex_block(found->second.block);
    forget(found);
  }
}

#if defined(EFI_TESTING)
void set_named_object_prefix(const char* prefix) { name_prefix = prefix ? prefix : ""; }
#endif

}  // namespace efi::platform
