#pragma once

// The few things the command-line host asks of the operating system, one file per platform.

#include <cstdio>
#include <string>

namespace efilink_cli {

// Directory of the running executable, ending in a path separator ("" when unknown).
std::string executable_directory();
bool stdout_is_terminal();
// Lets the console show the UTF-8 that the host prints.
void prepare_console();
// Points standard output at standard error from now on and returns a stream on the original
// standard output, so that what the library prints there (the trace lines of some links) stays
// out of what the host writes to that stream. Returns stdout itself when that cannot be done.
std::FILE* set_standard_output_apart();

}  // namespace efilink_cli
