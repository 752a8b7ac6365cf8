#include "api/process_state.h"

namespace efi {

namespace {

// Every lock export first installs the USB lock operations when its flag word has the USB bit,
// then calls its own entry, or returns 1 while that entry is empty.
template <auto Entry, typename... Arguments>
uint32_t call_lock_entry(uint32_t flags, Arguments... arguments) {
  ProcessState& state = process();
  if ((flags & EFI_FLAG_USB) && state.registry.usb_lock) state.locks = *state.registry.usb_lock;
  const auto entry = state.locks.*Entry;
  return entry ? entry(flags, arguments...) : 1;
}

}  // namespace

uint32_t lock_interface(uint32_t flags) { return call_lock_entry<&LockTable::LockInterface>(flags); }
uint32_t unlock_interface(uint32_t flags) { return call_lock_entry<&LockTable::UnlockInterface>(flags); }
uint32_t query_interface(uint32_t flags, void* list) { return call_lock_entry<&LockTable::QueryInterface>(flags, list); }
uint32_t query_and_lock_interface(uint32_t flags, void* list) {
  return call_lock_entry<&LockTable::QueryAndLockInterface>(flags, list);
}
uint32_t update_interface(uint32_t flags, const void* list) {
  return call_lock_entry<&LockTable::UpdateInterface>(flags, list);
}
uint32_t release_interface_lock(uint32_t flags, const void* list) {
  return call_lock_entry<&LockTable::ReleaseInterfaceLock>(flags, list);
}

}  // namespace efi
