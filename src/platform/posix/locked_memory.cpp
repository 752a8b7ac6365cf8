#include "platform/locked_memory.h"

#include <sys/mman.h>

#include <cerrno>

#include "platform/fault.h"

namespace efi::platform {

void* allocate_pages(size_t size) {
  if (fails_now(FaultPoint::page_allocate)) return nullptr;
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

bool lock_pages(void* pages, size_t size) {
  if (fails_now(FaultPoint::page_lock)) return false;
  return mlock(pages, size) == 0;
}

void free_pages(void* pages, size_t size) {
  if (pages) munmap(pages, size);
}

}  // namespace efi::platform
