#pragma once

#include <cstddef>

namespace efi::platform {

// Page-granular, committed read-write memory that can be locked against paging. Null on
// failure; last_error() tells why.
void* allocate_pages(size_t size);
bool lock_pages(void* pages, size_t size);
void free_pages(void* pages, size_t size);

}  // namespace efi::platform
