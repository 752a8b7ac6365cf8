#include "protocol/headers.h"

#include <utility>

namespace efi {

void SwapHeaderByteOrder(void* header) {
  auto* bytes = static_cast<unsigned char*>(header);
  for (int field = 0; field < 4; ++field) std::swap(bytes[2 * field], bytes[2 * field + 1]);
}

}  // namespace efi
