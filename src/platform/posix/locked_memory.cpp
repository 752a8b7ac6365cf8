#include "platform/locked_memory.h"

#include <sys/mman.h>

#include "platform/fault.h"

namespace efi::platform {

LockedPages LockedPages::allocate(size_t size) {
  if (fails_now(FaultPoint::page_allocate)) return {};
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? LockedPages{} : LockedPages(pages, size);
}

bool LockedPages::lock() {
  if (fails_now(FaultPoint::page_lock)) return false;
  return pages_ && mlock(pages_, size_) == 0;
}

void LockedPages::release() {
  if (pages_) munmap(pages_, size_);
  pages_ = nullptr;
  size_ = 0;
}

}  // namespace efi::platform
