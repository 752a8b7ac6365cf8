#include "transports/usb/device_list.h"

#include <cstring>

#include "protocol/headers.h"

namespace efi {

bool previous_owner(const unsigned char* list, size_t list_size, const char* path, uint32_t& owner) {
  const size_t path_length = std::strlen(path);
  bool found = false;
  for (size_t at = 0; at + 4 <= list_size;) {
    const uint32_t size = load_u32(list + at);
    if (size < DEVICE_LIST_ENTRY_OVERHEAD || size > list_size - at) break;
    const size_t room = size - DEVICE_LIST_PATH_OFFSET;
    if (path_length < room && std::memcmp(list + at + DEVICE_LIST_PATH_OFFSET, path, path_length + 1) == 0) {
      owner = load_u32(list + at + 4);
      found = true;
    }
    at += size;
  }
  return found;
}

bool append_device_entry(unsigned char* list, size_t list_size, size_t& at, const char* path, uint32_t owner) {
  const size_t length = std::strlen(path);
  const size_t size = length + DEVICE_LIST_ENTRY_OVERHEAD;
  if (at > list_size || size + 4 > list_size - at) return false;
  unsigned char* entry = list + at;
  store_u32(entry, static_cast<uint32_t>(size));
  store_u32(entry + 4, owner);
  entry[8] = 0;
  std::memcpy(entry + DEVICE_LIST_PATH_OFFSET, path, length + 1);
  entry[size - 2] = 0;
  entry[size - 1] = 0;
  at += size;
  return true;
}

}  // namespace efi
