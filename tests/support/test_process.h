#pragma once

#include <string>
#include <vector>

namespace efi::test {

// Runs a program built beside the tests ("lock_worker" is "lock_worker.exe" on Windows) to its
// end; its exit code, or -1 when it did not start.
int run_program(const std::string& name, const std::vector<std::string>& arguments);

// A name prefix for the machine-wide objects that no other test run on this machine uses.
std::string run_unique_prefix();

}  // namespace efi::test
