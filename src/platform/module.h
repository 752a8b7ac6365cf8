#pragma once

#include <cstdint>

#include "platform/handle.h"

// The calling convention of adapter libraries' functions and of the callbacks handed to them:
// __stdcall on 32-bit Windows, the C default everywhere else.
#if defined(_WIN32) && defined(__i386__)
#define EFI_ADAPTER_CALL __attribute__((stdcall))
#else
#define EFI_ADAPTER_CALL
#endif

namespace efi::platform {

struct ModuleTraits {
  using Raw = void*;
  static constexpr Raw none() { return nullptr; }
  static void close(Raw raw) noexcept;
};
// A loaded shared library (DLL or shared object), released when dropped.
using Module = Owned<ModuleTraits>;

Module load_module(const char* path);
void* find_symbol(const Module& module, const char* name);
// Windows libraries can be bound by export ordinal; elsewhere this finds nothing.
void* find_symbol_by_ordinal(const Module& module, uint16_t ordinal);
// True where modules are Windows DLLs, whose adapter libraries carry Windows names.
bool modules_are_dlls();
// Releases the module now; true when the system released it.
bool free_module(Module& module);

}  // namespace efi::platform
