#include "api/process_state.h"
#include "transports/sim/sim_bridge.h"

namespace efi {

TransportRegistry built_in_transports() {
  TransportRegistry links{};
  links.simulator = &SIMULATOR_TRANSPORT;
  return links;
}

}  // namespace efi
