#include "platform/event.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>

#include "platform/waiting.h"

namespace efi::platform {

namespace {

constexpr uint32_t EVENT_READY = 0x45564E54;
// How often an open starts again when the process that was setting the event up ended first.
constexpr int SETUP_ATTEMPTS = 3;

// The event itself: in this process's memory, or for a named event in shared memory, where its
// mutex is robust so that a process ending while it holds it leaves no one stuck.
struct EventState {
  std::atomic<uint32_t> ready;
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  bool signalled;
  bool manual;
};

struct EventHandle {
  EventState* state;
  // A named event's shared object, or -1. Each open holds a shared lock on it while it is open,
  // so an open that can lock it alone knows that no one uses the event and starts it anew.
  int fd;
};

void set_up(EventState& state, bool shared, EventReset reset, bool signalled) {
  pthread_mutexattr_t mutex_attributes;
  pthread_mutexattr_init(&mutex_attributes);
  pthread_condattr_t condition_attributes;
  pthread_condattr_init(&condition_attributes);
  pthread_condattr_setclock(&condition_attributes, CLOCK_MONOTONIC);
  if (shared) {
    pthread_mutexattr_setpshared(&mutex_attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&mutex_attributes, PTHREAD_MUTEX_ROBUST);
    pthread_condattr_setpshared(&condition_attributes, PTHREAD_PROCESS_SHARED);
  }
  pthread_mutex_init(&state.mutex, &mutex_attributes);
  pthread_cond_init(&state.changed, &condition_attributes);
  pthread_mutexattr_destroy(&mutex_attributes);
  pthread_condattr_destroy(&condition_attributes);
  state.signalled = signalled;
  state.manual = reset == EventReset::manual;
  state.ready.store(EVENT_READY, std::memory_order_release);
}

EventState* state_of(const Event& event) {
  return event ? static_cast<EventHandle*>(event.get())->state : nullptr;
}

int lock(EventState& state) {
  const int result = pthread_mutex_lock(&state.mutex);
  // The process that held it ended; the two fields it guards are consistent at any point.
  if (result == EOWNERDEAD) return pthread_mutex_consistent(&state.mutex);
  return result;
}

bool change(const Event& event, bool signalled) {
  EventState* state = state_of(event);
  if (!state) {
    errno = EBADF;
    return false;
  }
  if (const int error = lock(*state); error != 0) {
    errno = error;
    return false;
  }
  state->signalled = signalled;
  if (signalled) state->manual ? pthread_cond_broadcast(&state->changed) : pthread_cond_signal(&state->changed);
  pthread_mutex_unlock(&state->mutex);
  return true;
}

bool lock_file(int fd, int operation) {
  while (flock(fd, operation) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// One attempt at a named event: null with errno EAGAIN when its creator ended before setting it up.
EventHandle* open_shared(const std::string& object, EventReset reset) {
  const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  fchmod(fd, 0666);  // the umask must not keep other users' processes out
  const bool alone = lock_file(fd, LOCK_EX | LOCK_NB);
  void* view = MAP_FAILED;
  int error = errno;
  if (alone) {
    if (ftruncate(fd, sizeof(EventState)) == 0)
      view = mmap(nullptr, sizeof(EventState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    error = errno;
    if (view != MAP_FAILED) set_up(*static_cast<EventState*>(view), true, reset, false);
    // Other opens wait for the shared lock until the event is set up.
    if (view != MAP_FAILED && !lock_file(fd, LOCK_SH)) {
      error = errno;
      munmap(view, sizeof(EventState));
      view = MAP_FAILED;
    }
  } else if (error == EWOULDBLOCK && lock_file(fd, LOCK_SH)) {
    struct stat status {};
    error = EAGAIN;
    if (fstat(fd, &status) == 0 && static_cast<size_t>(status.st_size) >= sizeof(EventState))
      view = mmap(nullptr, sizeof(EventState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view != MAP_FAILED && static_cast<EventState*>(view)->ready.load(std::memory_order_acquire) != EVENT_READY) {
      munmap(view, sizeof(EventState));
      view = MAP_FAILED;
    }
  } else {
    error = errno;
  }
  if (view == MAP_FAILED) {
    close(fd);
    errno = error;
    return nullptr;
  }
  return new EventHandle{static_cast<EventState*>(view), fd};
}

}  // namespace

void EventTraits::close(Raw raw) noexcept {
  auto* handle = static_cast<EventHandle*>(raw);
  if (handle->fd < 0) {
    pthread_cond_destroy(&handle->state->changed);
    pthread_mutex_destroy(&handle->state->mutex);
    delete handle->state;
  } else {
    munmap(handle->state, sizeof(EventState));
    ::close(handle->fd);
  }
  delete handle;
}

Event create_event(EventReset reset, bool signalled) {
  auto* state = new EventState{};
  set_up(*state, false, reset, signalled);
  return Event(new EventHandle{state, -1});
}

Event open_named_event(const char* name, EventReset reset) {
  const std::string object = std::string("/") + name;
  for (int attempt = 0; attempt < SETUP_ATTEMPTS; ++attempt) {
    if (EventHandle* handle = open_shared(object, reset)) return Event(handle);
    if (errno != EAGAIN) break;
  }
  return {};
}

bool set_event(const Event& event) { return change(event, true); }
bool reset_event(const Event& event) { return change(event, false); }

EventWait wait_event(const Event& event, uint32_t timeout_ms) {
  EventState* state = state_of(event);
  if (!state) {
    errno = EBADF;
    return EventWait::failed;
  }
  if (const int error = lock(*state); error != 0) {
    errno = error;
    return EventWait::failed;
  }
  int result = 0;
  wait_within(timeout_ms, [&](uint32_t ms) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000;
    }
    result = 0;
    while (!state->signalled && result != ETIMEDOUT) {
      result = pthread_cond_timedwait(&state->changed, &state->mutex, &deadline);
      if (result == EOWNERDEAD) result = pthread_mutex_consistent(&state->mutex);
      if (result != 0 && result != ETIMEDOUT) return true;
    }
    return state->signalled;
  });
  if (result != 0 && result != ETIMEDOUT) {
    pthread_mutex_unlock(&state->mutex);
    errno = result;
    return EventWait::failed;
  }
  const bool signalled = state->signalled;
  if (signalled && !state->manual) state->signalled = false;
  pthread_mutex_unlock(&state->mutex);
  return signalled ? EventWait::signalled : EventWait::timed_out;
}

void remove_named_event(const char* name) { shm_unlink((std::string("/") + name).c_str()); }

}  // namespace efi::platform
