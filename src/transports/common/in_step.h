#pragma once

// Keeping a link in step with its unit: every exchange ends within one bound, a read takes exactly
// the bytes it asked for, and whatever a unit sends after an exchange went wrong (a late answer,
// a trickle of noise) is dropped before the next command goes out, never taken for its answer.

#include <algorithm>
#include <cstdint>

#include "transports/common/deadline.h"

namespace efi {

// No exchange on any link takes longer than this, however slowly a unit answers or drips.
inline constexpr uint32_t EXCHANGE_LIMIT_MS = 10000;
// After a failed exchange the unit may still be answering it: before the next command the line
// must have been quiet this long (within EXCHANGE_LIMIT_MS, however long the unit keeps talking).
inline constexpr uint32_t SETTLE_MS = 1000;

// Reads exactly `size` bytes into `data` through `read_some(at, wanted)`, which reads at most
// `wanted` bytes and returns how many it read: at least one, or 0 when none came within its own
// bound, or less than 0 when the read failed. Returns the bytes read: `size` when all came.
template <typename ReadSome>
uint32_t read_exactly(unsigned char* data, uint32_t size, ReadSome read_some) {
  uint32_t got = 0;
  while (got < size) {
    const int64_t count = read_some(data + got, size - got);
    if (count <= 0) break;
    got += static_cast<uint32_t>(std::min<int64_t>(count, size - got));
  }
  return got;
}

// Drops what the unit sends until a `drop_some(quiet_ms)` finds the line quiet, or the limit
// passes. `drop_some` reads and throws away what arrives within `quiet_ms` (it is given less when
// the limit is nearer) and returns how many bytes it dropped: 0 when the line stayed quiet, less
// than 0 when the read failed. Returns the bytes dropped, for the exchange's trace.
template <typename DropSome>
uint64_t drop_until_quiet(const Deadline& limit, uint32_t quiet_ms, DropSome drop_some) {
  uint64_t dropped = 0;
  for (;;) {
    const uint32_t left = limit.remaining_ms();
    if (left == 0) break;
    const int64_t count = drop_some(std::min(quiet_ms, left));
    if (count <= 0) break;
    dropped += static_cast<uint64_t>(count);
  }
  return dropped;
}

}  // namespace efi
