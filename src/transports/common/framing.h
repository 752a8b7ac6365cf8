#pragma once

// Framing pieces several links share: headers put into a link's own buffer, the received-size
// rules, and draining a response the host has no room for.

#include <efilink/efilink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/headers.h"
#include "transports/common/trace.h"

namespace efi {

// Copies an 8-byte header into `destination` (a buffer of the link's own), converted to the other
// byte order when `convert` is set; the host's header stays as it is.
inline void put_header(void* destination, const void* header, bool convert) {
  std::memcpy(destination, header, 8);
  if (convert) SwapHeaderByteOrder(destination);
}

// A response is taken whole when its announced size fits both the host's buffer and the link's own;
// otherwise its data are drained, the received size stays unwritten and the exchange ends with
// STATUS_CR_RESPONSE_BUFFER_TOO_SMALL.
inline bool response_fits(uint32_t returning, uint32_t capacity, size_t link_buffer_size) {
  return returning <= capacity && returning <= link_buffer_size;
}

// Reads and throws away `size` bytes through `scratch`, a piece at a time, so that no announced
// size can make a link write past a buffer. `read_piece(buffer, n)` reads exactly n bytes and
// returns 0, or the link's status (after its report) for a failure, which ends the drain. The
// bytes drained count in the exchange's trace, if there is one.
template <typename ReadPiece>
uint32_t drain(uint32_t size, unsigned char* scratch, size_t scratch_size, ReadPiece read_piece,
               Tracer* tracer = nullptr) {
  while (size > 0) {
    const uint32_t piece = size < scratch_size ? size : static_cast<uint32_t>(scratch_size);
    if (const uint32_t status = read_piece(scratch, piece)) return status;
    if (tracer) tracer->discarded(piece);
    size -= piece;
  }
  return 0;
}

}  // namespace efi
