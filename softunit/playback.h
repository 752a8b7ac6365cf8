#pragma once

// Playback records: responses queued ahead of the model. A block of playback data is a sequence
// of records, each an 8-byte ResponseHeader_TS in host order (response_code,
// response_data_returning_size, response_status, dummy = 0x55AA) followed by exactly
// response_data_returning_size bytes of response data. The records fill the block exactly.

#include <cstdint>
#include <deque>
#include <vector>

#include "unit.h"

namespace softunit {

// Results of parse_playback; 0 means every record was taken.
inline constexpr uint32_t PLAYBACK_TRUNCATED = 2;   // a header or its data run past the block
inline constexpr uint32_t PLAYBACK_BAD_MARKER = 3;  // a header whose dummy is not 0x55AA
inline constexpr uint32_t PLAYBACK_TOO_LARGE = 4;   // more data than TS_MAX_TRANSFERSTRUCTS_SIZE

// Appends the block's records to `queue`, or nothing at all when any record is malformed.
uint32_t parse_playback(const void* block, uint32_t size, std::deque<Response>& queue);

// One record in the block format.
Bytes playback_record(const Response& response);

}  // namespace softunit
