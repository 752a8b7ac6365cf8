#pragma once

// The few things the command-line host asks of the operating system, one file per platform.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace efilink_cli {

// Whether the library finds devices by path in a device directory (not on Windows, where it
// asks the system and only named pipes stand in for devices).
extern const bool DEVICE_FILES_BY_PATH;
int process_id();
bool process_running(int pid);
// This process's resident memory in KiB, 0 where it cannot be read.
uint64_t resident_kib();

// Directory of the running executable, ending in a path separator ("" when unknown).
std::string executable_directory();
bool stdout_is_terminal();
// Lets the console show the UTF-8 that the host prints.
void prepare_console();
// Points standard output at standard error from now on and returns a stream on the original
// standard output, so that what the library prints there (the progress lines of some links) stays
// out of what the host writes to that stream. Returns stdout itself when that cannot be done.
std::FILE* set_standard_output_apart();

// While held, what this process writes to its standard output goes nowhere (links that print
// their progress there would break a table or JSON); released, it goes where it went before.
void hold_standard_output(bool hold);

// Holds back the interrupts (SIGINT and SIGTERM; Ctrl-C, Ctrl-Break and closing the console on
// Windows) for wait_for_interrupt. Called before any thread starts, so that none of them takes one.
void catch_interrupts();
// Returns once an interrupt arrived.
void wait_for_interrupt();

// This user's own device directory: $XDG_RUNTIME_DIR/efilink, else <temp>/efilink-<uid>; "" on
// Windows, where the library finds devices through the system.
std::string user_device_directory();
// Creates `directory` (and its parents) private to this user, or checks that an existing one
// belongs to this user. True when it was created now; throws std::runtime_error when neither.
bool make_user_directory(const std::string& directory);

// This program started again as a child process whose standard output we read; its standard
// error is ours.
class ChildProcess {
 public:
  static std::unique_ptr<ChildProcess> start_self(const std::vector<std::string>& arguments);
  virtual ~ChildProcess() = default;
  // The next line of its output, without the line end; false at its end or after `timeout_ms`.
  virtual bool read_line(std::string& line, int timeout_ms) = 0;
  // Asks it to end (SIGTERM elsewhere; on Windows, where nothing of it needs removing, ends it)
  // and waits: its exit code, 128 + the signal when a signal ended it.
  virtual int stop() = 0;
};

}  // namespace efilink_cli
