#include "transports/sim/sim_bridge.h"

#include "api/process_state.h"
#include "platform/clock.h"
#include "platform/module.h"
#include "platform/system_error.h"

namespace efi {

namespace {

struct SimulatorLibrary {
  platform::ModuleHandle module = nullptr;
  SimulatorStartFunction start = nullptr;
  SimulatorCommandProcessorFunction command_processor = nullptr;
  SimulatorAppendPlaybackFunction append_playback = nullptr;
};
SimulatorLibrary simulator;

// Every command waits at least this long, measured on the high-resolution counter, so a host sees
// the pace of a real link rather than an instant answer.
constexpr double MINIMUM_DELAY_SECONDS = 0.0001;

void wait_minimum_delay() {
  const double frequency = static_cast<double>(process().counter_frequency);
  const int64_t start = platform::performance_counter();
  int64_t now = platform::performance_counter();
  while ((static_cast<double>(now) - static_cast<double>(start)) / frequency < MINIMUM_DELAY_SECONDS)
    now = platform::performance_counter();
}

template <typename Function>
Function lookup(const char* name) {
  return reinterpret_cast<Function>(platform::find_symbol(simulator.module, name));
}

}  // namespace

uint32_t SimulatorInitializeInterfaces(uint32_t, const char* text) {
  // The first character of the text is the simulator's own; the library path follows it.
  platform::ModuleHandle module = (text && text[0]) ? platform::load_module(text + 1) : nullptr;
  if (!module) {
    (void)platform::last_error();
    return 1;
  }
  simulator.module = module;
  simulator.start = lookup<SimulatorStartFunction>("SimulatorStart");
  simulator.command_processor = lookup<SimulatorCommandProcessorFunction>("SimulatorCommandProcessor");
  simulator.append_playback = lookup<SimulatorAppendPlaybackFunction>("SimulatorAppendPlayback");
  // A library without a start function cannot be started; calling through null would crash the host.
  if (!simulator.start) return 1;
  simulator.start(text);
  return simulator.command_processor ? 0 : 1;
}

uint32_t SimulatorSendCommandReceiveResponse(CRM* crm) {
  wait_minimum_delay();
  if (!simulator.command_processor) {
    *crm->transfer_status = 1;
    crm->response_header->response_status = 1;
    return 1;
  }
  simulator.command_processor(crm);
  *crm->transfer_status = 0;
  crm->response_header->response_status = 0;
  return 0;
}

uint32_t SimulatorBridgeAppendPlayback(const void* data, uint32_t size) {
  return simulator.append_playback ? simulator.append_playback(data, size) : 1;
}

uint32_t SimulatorCloseInterfaces(uint32_t) {
  simulator.command_processor = nullptr;
  simulator.append_playback = nullptr;
  const bool released = platform::free_module(simulator.module);
  simulator.module = nullptr;
  return released ? 0 : 1;
}

const TransportDescriptor SIMULATOR_TRANSPORT{
    "Simulator",       SimulatorSendCommandReceiveResponse, connect_nothing, SimulatorInitializeInterfaces,
    SimulatorCloseInterfaces, SimulatorBridgeAppendPlayback,
};

}  // namespace efi
