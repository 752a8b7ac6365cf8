// The exported C functions: thin shims over the core. No exception may cross into the host, so
// each shim catches everything and answers as a failed call would.
#include <efilink/efilink.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "api/process_state.h"
#include "platform/device_interface.h"
#include "platform/process_exit.h"
#include "protocol/status.h"

namespace {

// Library load: a static object made when the module is loaded into the host process. An exception
// here would end the host; a load that could not make the state leaves that to the first export.
struct LibraryLoad {
  LibraryLoad() {
    efi::platform::watch_process_exit();
    try {
      efi::on_library_load();
    } catch (...) {
    }
  }
};
const LibraryLoad library_load;

// Library unload, as a module destructor rather than a static object's destructor: when the host
// unloads the library it runs before this module's static objects are destroyed, and when the
// process ends it runs after the process's exit handlers, so it can tell the two apart.
__attribute__((destructor)) void library_unload() {
  try {
    efi::on_library_unload(efi::platform::process_exiting());
  } catch (...) {
  }
}

// EFI_VERSION and EFI_SYSTEM_NAME come from the build; the width is the compiled code's own.
constexpr std::string_view LIBRARY_VERSION =
    sizeof(void*) == 8 ? "efilink " EFI_VERSION " (" EFI_SYSTEM_NAME ", 64-bit)"
                       : "efilink " EFI_VERSION " (" EFI_SYSTEM_NAME ", 32-bit)";

template <typename Call>
uint32_t guarded(Call call, uint32_t on_exception) noexcept {
  try {
    return call();
  } catch (...) {
    return on_exception;
  }
}

// For the exports that return nothing: a call that fails (an allocation that cannot be had) is a
// call that did nothing.
template <typename Call>
void guarded(Call call) noexcept {
  try {
    call();
  } catch (...) {
  }
}

}  // namespace

extern "C" {

EFI_API uint32_t EfiInitializeInterfaces(uint32_t flags, const char* text) {
  return guarded([&] { return efi::initialize_interfaces(flags, text); }, efi::LINK_FAILED);
}

EFI_API uint32_t EfiCloseInterfaces(uint32_t which) {
  return guarded([&] { return efi::close_interfaces(which); }, efi::LINK_FAILED);
}

EFI_API uint32_t EfiConnectCommandResponseInterface(void) {
  return guarded([] { return efi::connect_command_response_interface(); }, efi::LINK_FAILED);
}

EFI_API uint32_t EfiAppendPlayback(const void* data, uint32_t size) {
  return guarded([&] { return efi::append_playback(data, size); }, efi::LINK_FAILED);
}

EFI_API uint32_t EfiUpdateRuntimeOptions(void) {
  return guarded([] { return efi::update_runtime_options(); }, efi::LINK_FAILED);
}

EFI_API void EnableErrorMessages(uint8_t enable) {
  guarded([&] { efi::enable_error_messages(enable); });
}

EFI_API uint32_t EfiSendCommand(uint8_t command, void* command_data, uint16_t command_data_size, void* response_data,
                                uint16_t response_buffer_size, uint16_t* received_size) {
  return guarded(
      [&] {
        return efi::send_command(command, command_data, command_data_size, response_data, response_buffer_size,
                                 received_size);
      },
      STATUS_CR_NOT_INITIALIZED);
}

EFI_API uint32_t EfiLockInterface(uint32_t flags) {
  return guarded([&] { return efi::lock_interface(flags); }, efi::LINK_FAILED);
}
EFI_API uint32_t EfiUnlockInterface(uint32_t flags) {
  return guarded([&] { return efi::unlock_interface(flags); }, efi::LINK_FAILED);
}
EFI_API uint32_t EfiQueryInterface(uint32_t flags, void* list) {
  return guarded([&] { return efi::query_interface(flags, list); }, efi::LINK_FAILED);
}
EFI_API uint32_t EfiQueryAndLockInterface(uint32_t flags, void* list) {
  return guarded([&] { return efi::query_and_lock_interface(flags, list); }, efi::LINK_FAILED);
}
EFI_API uint32_t EfiUpdateInterface(uint32_t flags, const void* list) {
  return guarded([&] { return efi::update_interface(flags, list); }, efi::LINK_FAILED);
}
EFI_API uint32_t EfiReleaseInterfaceLock(uint32_t flags, const void* list) {
  return guarded([&] { return efi::release_interface_lock(flags, list); }, efi::LINK_FAILED);
}

EFI_API void EfiSetDeviceDirectory(const char* path) {
  guarded([&] { efi::platform::set_device_directory(path); });
}

EFI_API void EfiSetEthernetAddress(const char* host, const char* service) {
  guarded([&] { efi::set_ethernet_address(host, service); });
}

EFI_API uint32_t EfiSetAdapterLibrary(uint32_t link_flag, const char* path) {
  return guarded([&] { return efi::set_adapter_library(link_flag, path); }, efi::LINK_FAILED);
}

EFI_API uint32_t EfiSetTraceFile(const char* path) {
  return guarded([&] { return efi::set_trace_file(path); }, efi::LINK_FAILED);
}

EFI_API void EfiSetMessageHandler(EfiMessageHandler handler, void* context) {
  guarded([&] { efi::set_message_handler(handler, context); });
}

EFI_API uint32_t EfiGetLibraryVersion(char* text, uint32_t size) {
  return guarded(
      [&]() -> uint32_t {
        if (!text || size == 0) return efi::LINK_FAILED;
        const size_t length = std::min<size_t>(LIBRARY_VERSION.size(), size - 1);
        std::memcpy(text, LIBRARY_VERSION.data(), length);
        text[length] = '\0';
        return length == LIBRARY_VERSION.size() ? 0 : efi::LINK_FAILED;
      },
      efi::LINK_FAILED);
}

}  // extern "C"
