#pragma once

#include <string>
#include <vector>

namespace efi::test {

// A child process started from a program built beside the tests.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const;
  // Waits at most `timeout_ms`; true with its exit code when it ended, false if still running.
  bool wait(int timeout_ms, int& exit_code);
  // Ends it at once, as a crash or a kill would: it releases nothing itself.
  void kill();

 private:
  struct Native;
  Native* native_;
};

// A name prefix for the machine-wide objects that no other test run on this machine uses.
std::string run_unique_prefix();

// File name of a program built beside the tests ("lock_worker" → "lock_worker.exe" on Windows).
std::string program_path(const std::string& name);

}  // namespace efi::test
