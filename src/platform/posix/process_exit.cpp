#include "platform/process_exit.h"

#include <atomic>
#include <cstdlib>

namespace efi::platform {

namespace {

std::atomic<bool> exiting{false};
bool watching = false;

void mark_exiting() { exiting = true; }

}  // namespace

// A handler registered with atexit from this module runs when the process exits, among all the
// others and before any module destructor; when the module alone is unloaded (dlclose) it runs
// too, but only after the module's destructors, so they still see false.
void watch_process_exit() {
  if (!watching) watching = std::atexit(mark_exiting) == 0;
}

bool process_exiting() { return exiting; }

}  // namespace efi::platform
