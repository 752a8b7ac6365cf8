#include "platform/module.h"

#include <windows.h>

namespace efi::platform {

namespace {
HMODULE native(const Module& module) { return static_cast<HMODULE>(module.get()); }
}  // namespace

void ModuleTraits::close(Raw raw) noexcept { FreeLibrary(static_cast<HMODULE>(raw)); }

Module load_module(const char* path) { return Module(path ? reinterpret_cast<void*>(LoadLibraryA(path)) : nullptr); }

void* find_symbol(const Module& module, const char* name) {
  return module ? reinterpret_cast<void*>(GetProcAddress(native(module), name)) : nullptr;
}

void* find_symbol_by_ordinal(const Module& module, uint16_t ordinal) {
  return module ? reinterpret_cast<void*>(GetProcAddress(native(module), MAKEINTRESOURCEA(ordinal))) : nullptr;
}

bool modules_export_ordinals() { return true; }

bool free_module(Module& module) {
  void* raw = module.release();
  return raw && FreeLibrary(static_cast<HMODULE>(raw)) != 0;
}

}  // namespace efi::platform
