#pragma once

namespace efi::platform {

// Whether the process has begun to end (exit, a return from main, ExitProcess). Once it has, the
// other modules of the process may already be torn down: their static objects destroyed, on
// Windows their DLLs detached. A library unloaded while the process lives on (dlclose,
// FreeLibrary) is told apart from one unloaded because the process ends.
//
// Call watch_process_exit() at the library's load; further calls change nothing. Elsewhere than
// on Windows the answer turns true in a handler of the process's exit, which runs before the
// library's unload only when that unload runs as a module destructor (a function marked
// __attribute__((destructor))), not as the destructor of a static object.
void watch_process_exit();
bool process_exiting();

}  // namespace efi::platform
