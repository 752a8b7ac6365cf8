#include "platform/module.h"

#include <dlfcn.h>

namespace efi::platform {

ModuleHandle load_module(const char* path) { return path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr; }

void* find_symbol(ModuleHandle module, const char* name) { return module ? dlsym(module, name) : nullptr; }

void* find_symbol_by_ordinal(ModuleHandle, uint16_t) { return nullptr; }

bool free_module(ModuleHandle module) { return module && dlclose(module) == 0; }

}  // namespace efi::platform
