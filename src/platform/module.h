#pragma once

#include <cstdint>

#include "platform/handle.h"

// How adapter libraries' functions are called: __stdcall on 32-bit Windows, the C convention
// everywhere else.
#if defined(_WIN32) && defined(__i386__)
#define EFI_ADAPTER_CALL __stdcall
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
// True where libraries export ordinals (Windows DLLs): a library documented by its ordinals is
// bound by them there, and by its functions' names elsewhere.
bool modules_export_ordinals();
// Releases the module now; true when the system released it.
bool free_module(Module& module);

}  // namespace efi::platform
