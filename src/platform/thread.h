#pragma once

#include "platform/handle.h"

namespace efi::platform {

struct ThreadTraits {
  using Raw = void*;
  static constexpr Raw none() { return nullptr; }
  // Waits for the thread to end: a thread is never left running without an owner.
  static void close(Raw raw) noexcept;
};
// A thread of this process; closing the handle joins it, so it must never be closed by the
// thread itself.
using Thread = Owned<ThreadTraits>;

// Runs body(argument) on a new thread. Empty on failure; last_error() tells why.
Thread start_thread(void (*body)(void*), void* argument);

// Waits without time limit for the thread to end; the handle is empty afterwards.
void join_thread(Thread& thread);

}  // namespace efi::platform
