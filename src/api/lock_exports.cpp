#include "api/process_state.h"

#include "protocol/status.h"

namespace efi {

namespace {

// Every lock export first installs the USB lock operations when its flag word has the USB bit,
// then calls its own entry, or fails while no lock operations are installed.
template <auto Entry, typename... Arguments>
uint32_t call_lock_entry(uint32_t flags, Arguments... arguments) {
  ProcessState& state = process();
  if (flags & EFI_FLAG_USB) state.locks = &state.links.usb_lock;
  return state.locks ? (state.locks->*Entry)(state.reporter(), flags, arguments...) : LINK_FAILED;
}

}  // namespace

uint32_t lock_interface(uint32_t flags) { return call_lock_entry<&InterfaceLock::USB_LockInterface>(flags); }
uint32_t unlock_interface(uint32_t flags) { return call_lock_entry<&InterfaceLock::USB_ReleaseInterfaceLock>(flags); }
uint32_t query_interface(uint32_t flags, void* list) {
  return call_lock_entry<&InterfaceLock::USB_QueryInterface>(flags, list);
}
uint32_t query_and_lock_interface(uint32_t flags, void* list) {
  return call_lock_entry<&InterfaceLock::USB_QueryAndLockInterface>(flags, list);
}
uint32_t update_interface(uint32_t flags, const void* list) {
  return call_lock_entry<&InterfaceLock::USB_UpdateInterface>(flags, list);
}
uint32_t release_interface_lock(uint32_t flags, const void* list) {
  return call_lock_entry<&InterfaceLock::USB_ReleaseInterfaceLockWithList>(flags, list);
}

}  // namespace efi
