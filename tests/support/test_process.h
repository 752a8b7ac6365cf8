#pragma once

#include <string>
#include <vector>

namespace efi::test {

// Runs a program built beside the tests ("lock_worker" is "lock_worker.exe" on Windows) to its
// end; its exit code, or -1 when it did not start.
int run_program(const std::string& name, const std::vector<std::string>& arguments);

#if defined(_WIN32)
// Starts a command line (under Wine a Unix program named by its Z: path runs as it is) and waits
// up to `wait_ms` for its end: its exit code, 259 while it still runs, or -1 when it did not start.
int run_command_line(std::string command_line, unsigned long wait_ms);
#endif

// Runs `command` through the shell and collects its standard output; the exit code, or -1 when
// the shell did not start or the command did not end normally.
int run_shell(const std::string& command, std::string& output);

// A device directory of the test's whose `device_class` has `target` as its one member: a symbolic
// link to it natively, a file naming it where the testing build stands the directory in for
// SetupAPI. Installed for the library while it lives.
struct DeviceDirectory {
  DeviceDirectory(const char* device_class, const std::string& target);
  ~DeviceDirectory();
  std::string root, entry;
  std::string found;  // the device path the link's search gives
};

// A name prefix for the machine-wide objects that no other test run on this machine uses.
std::string run_unique_prefix();

}  // namespace efi::test
