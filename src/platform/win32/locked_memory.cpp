#include "platform/locked_memory.h"

#include <windows.h>

#include "platform/fault.h"

namespace efi::platform {

void* allocate_pages(size_t size) {
  if (fails_now(FaultPoint::page_allocate)) return nullptr;
  return VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE);
}

bool lock_pages(void* pages, size_t size) {
  if (fails_now(FaultPoint::page_lock)) return false;
  return VirtualLock(pages, size) != 0;
}

void free_pages(void* pages, size_t) {
  if (pages) VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace efi::platform
