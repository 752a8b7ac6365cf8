#include "platform/thread.h"

#include <pthread.h>

#include <cerrno>

namespace efi::platform {

namespace {

struct Running {
  pthread_t id;
  void (*body)(void*);
  void* argument;
};

void* run(void* parameter) {
  auto* running = static_cast<Running*>(parameter);
  running->body(running->argument);
  return nullptr;
}

}  // namespace

void ThreadTraits::close(Raw raw) noexcept {
  auto* running = static_cast<Running*>(raw);
  pthread_join(running->id, nullptr);
  delete running;
}

Thread start_thread(void (*body)(void*), void* argument) {
  auto* running = new Running{{}, body, argument};
  const int error = pthread_create(&running->id, nullptr, run, running);
  if (error != 0) {
    delete running;
    errno = error;
    return {};
  }
  return Thread(running);
}

void join_thread(Thread& thread) { thread.reset(); }

}  // namespace efi::platform
