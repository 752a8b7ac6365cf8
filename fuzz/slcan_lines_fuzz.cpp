// The bytes a serial-line CAN adapter sends: any text. The first byte cuts the rest into reads of
// its own sizes. The reader must take no byte past the end of the line it completes, find the same
// lines however the bytes are cut, and never call a frame what a frame cannot be.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transports/can/slcan_lines.h"

namespace {

struct Seen {
  efi::SlcanLine::Kind kind;
  uint32_t identifier;
  uint8_t length;
  unsigned char data[8];
  bool operator==(const Seen& other) const {
    return kind == other.kind && identifier == other.identifier && length == other.length &&
           std::memcmp(data, other.data, 8) == 0;
  }
};

std::vector<Seen> lines_of(const uint8_t* data, size_t size, size_t piece) {
  std::vector<Seen> seen;
  efi::SlcanLineReader reader;
  for (size_t at = 0; at < size;) {
    const size_t read = piece < size - at ? piece : size - at;
    for (size_t used = 0; used < read;) {
      efi::SlcanLine line;
      bool complete = false;
      const size_t took = reader.take(data + at + used, read - used, line, complete);
      if (took == 0 || took > read - used) std::abort();
      used += took;
      if (!complete) {
        if (used != read) std::abort();
        continue;
      }
      const uint8_t last = data[at + used - 1];
      if (last != efi::SLCAN_END && last != efi::SLCAN_BELL) std::abort();
      if (line.kind == efi::SlcanLine::Kind::frame) {
        if (line.identifier > 0x1FFFFFFF || line.length > 8) std::abort();
        for (unsigned i = line.length; i < 8; ++i)
          if (line.data[i] != 0) std::abort();
      }
      seen.push_back({line.kind, line.identifier, line.length, {}});
      std::memcpy(seen.back().data, line.data, 8);
    }
    at += read;
  }
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 32 + 1;
  ++data;
  --size;
  if (lines_of(data, size, piece) != lines_of(data, size, size ? size : 1)) std::abort();
  return 0;
}
