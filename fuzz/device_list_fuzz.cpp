// The shared list of attached units as another process may have left it: any 4096 bytes. The
// owner lookup must stay inside the list, and rebuilding a list from paths must always leave a
// well-formed list that the lookup reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transports/usb/device_list.h"

namespace {
constexpr size_t LIST_SIZE = 4096;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: path length; then the path; the rest is the previous list.
  const size_t path_length = data[0] % 255;
  if (size < 1 + path_length) return 0;
  std::string path(reinterpret_cast<const char*>(data + 1), path_length);
  path = path.c_str();  // a device path has no zero inside it
  std::vector<unsigned char> previous(LIST_SIZE, 0);
  std::memcpy(previous.data(), data + 1 + path_length, std::min(LIST_SIZE, size - 1 - path_length));

  uint32_t owner = efi::NO_OWNER;
  efi::previous_owner(previous.data(), previous.size(), path.c_str(), owner);

  // Fill a fresh list with this path until it is full, each entry owned by its index.
  std::vector<unsigned char> list(LIST_SIZE, 0);
  size_t at = 0;
  uint32_t entries = 0;
  while (efi::append_device_entry(list.data(), list.size(), at, path.c_str(), entries)) ++entries;
  if (at + 4 > LIST_SIZE) std::abort();
  uint32_t end_word;
  std::memcpy(&end_word, list.data() + at, 4);
  if (end_word != 0) std::abort();
  uint32_t found = efi::NO_OWNER;
  const bool any = efi::previous_owner(list.data(), list.size(), path.c_str(), found);
  if (any != (entries > 0) || (entries > 0 && found != entries - 1)) std::abort();
  return 0;
}
