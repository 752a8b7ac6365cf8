#pragma once

// The few things the command-line host asks of the operating system, one file per platform.

#include <string>

namespace efilink_cli {

// Directory of the running executable, ending in a path separator ("" when unknown).
std::string executable_directory();
bool stdout_is_terminal();
// Lets the console show the UTF-8 that the host prints.
void prepare_console();

}  // namespace efilink_cli
