// The simulator library: the software unit behind the simulator link. Commands arrive and
// responses leave in host order; queued playback records answer before the model does.
#include <efilink/efilink.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "playback.h"
#include "unit.h"

#if defined(_WIN32)
#define SIMULATOR_EXPORT extern "C" __declspec(dllexport)
#else
#define SIMULATOR_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// The host calls the exports from one thread at a time, so the state needs no lock.
softunit::Unit unit;
std::deque<softunit::Response> playback;

// Copies what fits of `response` into the host's buffers. response_data_returning_size keeps the
// full size, so a host can tell that its buffer was too small.
void deliver(CRM* crm, const softunit::Response& response) {
  const size_t capacity = crm->response_data ? crm->command_header->response_buffer_size : 0;
  const size_t size = std::min(response.data.size(), capacity);
  if (size) std::memcpy(crm->response_data, response.data.data(), size);
  *crm->response_header = response.header;
  if (crm->response_data_received_size) *crm->response_data_received_size = static_cast<uint16_t>(size);
}

}  // namespace

// A new start forgets the playback of an earlier one.
SIMULATOR_EXPORT void SimulatorStart(const char*) { playback.clear(); }

SIMULATOR_EXPORT void SimulatorCommandProcessor(CRM* crm) {
  if (!crm || !crm->command_header || !crm->response_header) return;
  try {
    if (!playback.empty()) {
      deliver(crm, playback.front());
      playback.pop_front();
      return;
    }
    const CommandHeader_TS& header = *crm->command_header;
    deliver(crm, unit.respond(header, crm->command_data, crm->command_data ? header.command_data_size : 0));
  } catch (...) {
    // Out of memory: an empty answer rather than an exception through the host.
    *crm->response_header = ResponseHeader_TS{crm->command_header->command_code, 0, 0, EFI_RESPONSE_MARKER};
    if (crm->response_data_received_size) *crm->response_data_received_size = 0;
  }
}

SIMULATOR_EXPORT uint32_t SimulatorAppendPlayback(const void* data, uint32_t size) {
  try {
    return softunit::parse_playback(data, size, playback);
  } catch (...) {
    return 1;
  }
}
