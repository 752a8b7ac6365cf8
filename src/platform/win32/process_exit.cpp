#include "platform/process_exit.h"

#include <windows.h>

namespace {

volatile LONG exiting = 0;

}  // namespace

// The loader tells a DLL why it detaches: a non-null `reserved` at DLL_PROCESS_DETACH means the
// process is ending, null that the DLL alone is unloaded (FreeLibrary). The C runtime calls this
// before it destroys the DLL's static objects and runs its destructors, so the unload sees the
// answer. Linked into the DLL by the reference to process_exiting() from the export shims.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) InterlockedExchange(&exiting, 1);
  return TRUE;
}

namespace efi::platform {

void watch_process_exit() {}

bool process_exiting() { return InterlockedCompareExchange(&exiting, 0, 0) != 0; }

}  // namespace efi::platform
