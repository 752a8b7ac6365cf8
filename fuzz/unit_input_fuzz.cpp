// What a host or a user hands the software unit: playback records (EfiAppendPlayback on the
// simulator link, `efilink unit --playback`) and fault scripts (`efilink unit --script`). The
// first byte picks the reader. A block of records is taken whole or not at all, and what is
// taken writes back to the very bytes read; a script is refused with a reason or gives faults
// whose names read back as their kinds and whose answers fit a transfer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string_view>

#include "link_server.h"
#include "playback.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t* input = data + 1;
  const size_t length = size - 1;
  if (data[0] & 1) {
    std::deque<softunit::Response> queue(1);  // a record queued earlier must stay as it was
    const uint32_t status = softunit::parse_playback(length ? input : nullptr, static_cast<uint32_t>(length), queue);
    if (status != 0) {
      if (queue.size() != 1) std::abort();
      return 0;
    }
    size_t at = 0;
    for (size_t k = 1; k < queue.size(); ++k) {
      const softunit::Bytes record = softunit::playback_record(queue[k]);
      if (queue[k].data.size() > TS_MAX_TRANSFERSTRUCTS_SIZE || at + record.size() > length ||
          std::memcmp(record.data(), input + at, record.size()) != 0)
        std::abort();
      at += record.size();
    }
    if (at != length) std::abort();
    return 0;
  }
  try {
    for (const softunit::LinkFault& fault :
         softunit::parse_fault_script(std::string_view(reinterpret_cast<const char*>(input), length))) {
      if (softunit::fault_kind(softunit::fault_name(fault.kind)) != fault.kind) std::abort();
      if (fault.data.size() > TS_MAX_TRANSFERSTRUCTS_SIZE) std::abort();
      if (!fault.data.empty() && fault.kind != softunit::LinkFault::Kind::answer) std::abort();
    }
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
