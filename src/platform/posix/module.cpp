#include "platform/module.h"

#include <dlfcn.h>

namespace efi::platform {

void ModuleTraits::close(Raw raw) noexcept { dlclose(raw); }

Module load_module(const char* path) { return Module(path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr); }

void* find_symbol(const Module& module, const char* name) { return module ? dlsym(module.get(), name) : nullptr; }

void* find_symbol_by_ordinal(const Module&, uint16_t) { return nullptr; }

bool modules_export_ordinals() { return false; }

bool free_module(Module& module) {
  void* raw = module.release();
  return raw && dlclose(raw) == 0;
}

}  // namespace efi::platform
