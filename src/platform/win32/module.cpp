#include "platform/module.h"

#include <windows.h>

namespace efi::platform {

ModuleHandle load_module(const char* path) { return path ? reinterpret_cast<void*>(LoadLibraryA(path)) : nullptr; }

void* find_symbol(ModuleHandle module, const char* name) {
  return module ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name)) : nullptr;
}

void* find_symbol_by_ordinal(ModuleHandle module, uint16_t ordinal) {
  return module ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(ordinal)))
                : nullptr;
}

bool free_module(ModuleHandle module) { return module && FreeLibrary(static_cast<HMODULE>(module)) != 0; }

}  // namespace efi::platform
