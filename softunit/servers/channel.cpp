#include "channel.h"

namespace softunit {

bool read_exact(Stream& stream, void* data, size_t size, int timeout_ms) {
  auto* bytes = static_cast<unsigned char*>(data);
  size_t got = 0;
  while (got < size) {
    const int64_t n = stream.read_some(bytes + got, size - got, timeout_ms);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace softunit
