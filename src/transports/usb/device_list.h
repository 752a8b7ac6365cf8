#pragma once

#include <cstddef>
#include <cstdint>

namespace efi {

// The shared list of attached units: entries of entry_size (32-bit), owner (32-bit), entry_flag
// (8-bit), the device path with its terminating zero, then two zero bytes; entries follow one
// another unaligned, and the list ends at an entry_size of 0.
inline constexpr size_t DEVICE_LIST_ENTRY_OVERHEAD = 12;
inline constexpr size_t DEVICE_LIST_PATH_OFFSET = 9;
inline constexpr uint32_t NO_OWNER = 0xFFFFFFFF;

// The owner a list records for `path` (the last matching entry wins). Walks only entries that lie
// wholly inside the list, whatever another process left there; false when no entry matches.
bool previous_owner(const unsigned char* list, size_t list_size, const char* path, uint32_t& owner);

// Writes an entry for `path` at `at` and moves `at` past it, if the entry and a terminating zero
// word still fit in the list; false (and nothing written) otherwise.
bool append_device_entry(unsigned char* list, size_t list_size, size_t& at, const char* path, uint32_t owner);

}  // namespace efi
