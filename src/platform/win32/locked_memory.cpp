#include "platform/locked_memory.h"

#include <windows.h>

#include "platform/fault.h"

namespace efi::platform {

LockedPages LockedPages::allocate(size_t size) {
  if (fails_now(FaultPoint::page_allocate)) return {};
  void* pages = VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE);
  return pages ? LockedPages(pages, size) : LockedPages{};
}

bool LockedPages::lock() {
  if (fails_now(FaultPoint::page_lock)) return false;
  return pages_ && VirtualLock(pages_, size_) != 0;
}

void LockedPages::release() {
  if (pages_) VirtualFree(pages_, 0, MEM_RELEASE);
  pages_ = nullptr;
  size_ = 0;
}

}  // namespace efi::platform
