#include "api/process_state.h"
#include "transports/net/ethernet_link.h"
#include "transports/sim/sim_bridge.h"
#include "transports/usb/interface_lock.h"
#include "transports/usb/usb_link.h"

namespace efi {

namespace {
const LockTable USB_LOCK{
    USB_LockInterface,     USB_QueryInterface,        USB_UpdateInterface,
    USB_ReleaseInterfaceLock, USB_QueryAndLockInterface, USB_ReleaseInterfaceLockWithList,
};
}  // namespace

TransportRegistry built_in_transports() {
  TransportRegistry links{};
  links.usb = &USB_TRANSPORT;
  links.ethernet = &ETHERNET_TRANSPORT;
  links.simulator = &SIMULATOR_TRANSPORT;
  links.usb_lock = &USB_LOCK;
  return links;
}

}  // namespace efi
