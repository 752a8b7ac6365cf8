#include "platform/thread.h"

#include <windows.h>

namespace efi::platform {

namespace {

struct Start {
  void (*body)(void*);
  void* argument;
};

DWORD WINAPI run(void* parameter) {
  const Start start = *static_cast<Start*>(parameter);
  delete static_cast<Start*>(parameter);
  start.body(start.argument);
  return 0;
}

}  // namespace

void ThreadTraits::close(Raw raw) noexcept {
  WaitForSingleObject(raw, INFINITE);
  CloseHandle(raw);
}

Thread start_thread(void (*body)(void*), void* argument) {
  auto* start = new Start{body, argument};
  HANDLE thread = CreateThread(nullptr, 0, run, start, 0, nullptr);
  if (!thread) {
    const DWORD error = GetLastError();
    delete start;
    SetLastError(error);
  }
  return Thread(thread);
}

void join_thread(Thread& thread) { thread.reset(); }

}  // namespace efi::platform
