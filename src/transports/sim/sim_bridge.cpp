#include "transports/sim/sim_bridge.h"

#include "protocol/status.h"

namespace efi {

namespace {

// Every command waits at least this long, measured on the high-resolution counter, so a host sees
// the pace of a real link rather than an instant answer.
constexpr double MINIMUM_DELAY_SECONDS = 0.0001;

void wait_minimum_delay(const platform::Clock& clock) {
  const int64_t start = clock.now();
  while (clock.seconds_since(start) < MINIMUM_DELAY_SECONDS) {
  }
}

template <typename Function>
Function lookup(const platform::Module& module, const char* name) {
  return reinterpret_cast<Function>(platform::find_symbol(module, name));
}

}  // namespace

uint32_t SimulatorLink::initialize(const LinkContext&, uint32_t, const char* text) {
  // The first character of the text is the simulator's own; the library path follows it.
  platform::Module loaded = (text && text[0]) ? platform::load_module(text + 1) : platform::Module{};
  if (!loaded) return LINK_FAILED;
  module = std::move(loaded);
  start = lookup<SimulatorStartFunction>(module, "SimulatorStart");
  command_processor = lookup<SimulatorCommandProcessorFunction>(module, "SimulatorCommandProcessor");
  playback = lookup<SimulatorAppendPlaybackFunction>(module, "SimulatorAppendPlayback");
  // A library without a start function cannot be started; calling through null would crash the host.
  if (!start) return LINK_FAILED;
  start(text);
  return command_processor ? 0 : LINK_FAILED;
}

uint32_t SimulatorLink::send(const LinkContext& context, CRM* crm) {
  wait_minimum_delay(context.clock);
  if (!command_processor) {
    *crm->transfer_status = LINK_FAILED;
    crm->response_header->response_status = LINK_FAILED;
    return LINK_FAILED;
  }
  command_processor(crm);
  *crm->transfer_status = 0;
  crm->response_header->response_status = 0;
  return 0;
}

uint32_t SimulatorLink::append_playback(const void* data, uint32_t size) {
  return playback ? playback(data, size) : LINK_FAILED;
}

uint32_t SimulatorLink::close(const LinkContext&, uint32_t) {
  start = nullptr;
  command_processor = nullptr;
  playback = nullptr;
  return platform::free_module(module) ? 0 : LINK_FAILED;
}

}  // namespace efi
