#include "platform/locked_memory.h"

#include <sys/mman.h>

#include <cerrno>

#include "platform/fault.h"

namespace efi::platform {

void* allocate_pages(size_t size) {
  uint32_t error = 0;
  if (take_fault(FaultPoint::page_allocate, error)) {
    errno = static_cast<int>(error);
    return nullptr;
  }
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return pages == MAP_FAILED ? nullptr : pages;
}

bool lock_pages(void* pages, size_t size) {
  uint32_t error = 0;
  if (take_fault(FaultPoint::page_lock, error)) {
    errno = static_cast<int>(error);
    return false;
  }
  return mlock(pages, size) == 0;
}

void free_pages(void* pages, size_t size) {
  if (pages) munmap(pages, size);
}

}  // namespace efi::platform
