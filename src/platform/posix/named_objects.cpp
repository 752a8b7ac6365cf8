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

#include "platform/clock.h"
#include "platform/fault.h"

namespace efi::platform {

namespace {

// How long an opener waits for the creator of an object to give it its size.
constexpr int SETUP_WAIT_MS = 2000;

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
std::map<std::string, MappedMutex> mapped_mutexes;

struct MutexHandle {
  std::string name;
};

std::string object_name(const char* name) { return std::string("/") + name; }

// Creates the object, or opens it when another process did; waits until its creator has given
// it its size. `created` tells which happened.
int open_sized(const std::string& name, size_t size, bool& created) {
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    created = true;
    fchmod(fd, 0666);  // the umask must not keep other users' hosts out
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      const int error = errno;
      close(fd);
      shm_unlink(name.c_str());
      errno = error;
      return -1;
    }
    return fd;
  }
  if (errno != EEXIST) return -1;
  created = false;
  fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return -1;
  for (int waited = 0;; ++waited) {
    struct stat status {};
    if (fstat(fd, &status) == 0 && static_cast<size_t>(status.st_size) >= size) return fd;
    if (waited >= SETUP_WAIT_MS) break;
    sleep_ms(1);
  }
  close(fd);
  errno = ETIMEDOUT;
  return -1;
}

bool map_mutex_block(const std::string& name, SharedMutexBlock& block) {
  bool created = false;
  const int fd = open_sized(name, sizeof(std::atomic<uint32_t>), created);
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

SharedMutexBlock* block_of(NamedMutexHandle mutex) {
  auto found = mapped_mutexes.find(static_cast<MutexHandle*>(mutex)->name);
  return found == mapped_mutexes.end() ? nullptr : &found->second.block;
}

}  // namespace

NamedMutexHandle open_named_mutex(const char* name) {
  if (fails_now(FaultPoint::named_mutex_open)) return nullptr;
  const std::string shared_name = object_name(name);
  MappedMutex& mapped = mapped_mutexes[shared_name];
  if (mapped.block.fd < 0 && !map_mutex_block(shared_name, mapped.block)) {
    mapped_mutexes.erase(shared_name);
    return nullptr;
  }
  ++mapped.handles;
  return new MutexHandle{shared_name};
}

MutexWait wait_named_mutex(NamedMutexHandle mutex) {
  SharedMutexBlock* block = mutex ? block_of(mutex) : nullptr;
  if (!block) return MutexWait::failed;
  const int result = lock_block(*block);
  if (result == 0) return MutexWait::acquired;
  return result == EOWNERDEAD ? MutexWait::abandoned : MutexWait::failed;
}

bool release_named_mutex(NamedMutexHandle mutex) {
  SharedMutexBlock* block = mutex ? block_of(mutex) : nullptr;
  return block && unlock_block(*block);
}

void close_named_mutex(NamedMutexHandle mutex) {
  if (!mutex) return;
  auto* handle = static_cast<MutexHandle*>(mutex);
  auto found = mapped_mutexes.find(handle->name);
  // A mutex that a thread of this process holds stays open, as it stays owned on Windows: other
  // processes see it abandoned when this one ends.
  if (found != mapped_mutexes.end() && --found->second.handles == 0 &&
      found->second.block.owner.load() == std::thread::id{}) {
    unmap_mutex_block(found->second.block);
    mapped_mutexes.erase(found);
  }
  delete handle;
}

SharedMemoryHandle open_shared_memory(const char* name, size_t size, bool& already_existed) {
  if (fails_now(FaultPoint::shared_memory_open)) return nullptr;
  bool created = false;
  const int fd = open_sized(object_name(name), size, created);
  if (fd < 0) return nullptr;
  already_existed = !created;
  return reinterpret_cast<SharedMemoryHandle>(static_cast<intptr_t>(fd) + 1);
}

void* map_shared_memory(SharedMemoryHandle memory, size_t size) {
  if (!memory || fails_now(FaultPoint::shared_memory_map)) return nullptr;
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(memory)) - 1;
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

void unmap_shared_memory(void* view, size_t size) {
  if (view) munmap(view, size);
}

void close_shared_memory(SharedMemoryHandle memory) {
  if (memory) close(static_cast<int>(reinterpret_cast<intptr_t>(memory)) - 1);
}

void remove_named_objects(const char* mutex_name, const char* memory_name) {
  shm_unlink(object_name(mutex_name).c_str());
  shm_unlink(object_name(memory_name).c_str());
  // New opens must not find the old object; handles still open here stop working. Called
  // while no other thread holds it.
  auto found = mapped_mutexes.find(object_name(mutex_name));
  if (found != mapped_mutexes.end()) {
    if (found->second.block.owner.load() == std::this_thread::get_id()) {
      found->second.block.depth = 1;
      unlock_block(found->second.block);
    }
    unmap_mutex_block(found->second.block);
    mapped_mutexes.erase(found);
  }
}

}  // namespace efi::platform
