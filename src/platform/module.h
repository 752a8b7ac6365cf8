#pragma once

#include <cstdint>

namespace efi::platform {

// A loaded shared library (DLL or shared object); null when nothing is loaded.
using ModuleHandle = void*;

ModuleHandle load_module(const char* path);
void* find_symbol(ModuleHandle module, const char* name);
// Windows libraries can be bound by export ordinal; elsewhere this finds nothing.
void* find_symbol_by_ordinal(ModuleHandle module, uint16_t ordinal);
// True when the module was released.
bool free_module(ModuleHandle module);

}  // namespace efi::platform
