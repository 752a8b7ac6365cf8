#include "playback.h"

#include <cstring>

namespace softunit {

uint32_t parse_playback(const void* block, uint32_t size, std::deque<Response>& queue) {
  if (size == 0) return 0;
  if (!block) return PLAYBACK_TRUNCATED;
  const auto* bytes = static_cast<const unsigned char*>(block);
  std::vector<Response> records;
  for (uint32_t at = 0; at < size;) {
    Response record;
    if (size - at < sizeof record.header) return PLAYBACK_TRUNCATED;
    std::memcpy(&record.header, bytes + at, sizeof record.header);
    at += sizeof record.header;
    if (record.header.dummy != EFI_RESPONSE_MARKER) return PLAYBACK_BAD_MARKER;
    const uint32_t data_size = record.header.response_data_returning_size;
    if (data_size > TS_MAX_TRANSFERSTRUCTS_SIZE) return PLAYBACK_TOO_LARGE;
    if (size - at < data_size) return PLAYBACK_TRUNCATED;
    record.data.assign(bytes + at, bytes + at + data_size);
    at += data_size;
    records.push_back(std::move(record));
  }
  queue.insert(queue.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
  return 0;
}

Bytes playback_record(const Response& response) {
  Bytes record(sizeof response.header + response.data.size());
  std::memcpy(record.data(), &response.header, sizeof response.header);
  if (!response.data.empty())
    std::memcpy(record.data() + sizeof response.header, response.data.data(), response.data.size());
  return record;
}

}  // namespace softunit
