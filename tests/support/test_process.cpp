// The one place the tests start and stop processes; each platform its own way.
#include "test_process.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace efi::test {

#if defined(_WIN32)
struct ChildProcess::Native {
  PROCESS_INFORMATION info{};
  bool running = false;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : native_(new Native) {
  std::string command_line = "\"" + program + "\"";
  for (const auto& argument : arguments) command_line += " \"" + argument + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  native_->running = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &native_->info) != 0;
}

ChildProcess::~ChildProcess() {
  if (native_->running) {
    kill();
    CloseHandle(native_->info.hProcess);
    CloseHandle(native_->info.hThread);
  }
  delete native_;
}

bool ChildProcess::started() const { return native_->running; }

bool ChildProcess::wait(int timeout_ms, int& exit_code) {
  if (WaitForSingleObject(native_->info.hProcess, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(native_->info.hProcess, &code);
  exit_code = static_cast<int>(code);
  return true;
}

void ChildProcess::kill() {
  TerminateProcess(native_->info.hProcess, 9);
  WaitForSingleObject(native_->info.hProcess, INFINITE);
}

std::string program_path(const std::string& name) { return module_path(name + ".exe"); }
#else
struct ChildProcess::Native {
  pid_t pid = -1;
  bool reaped = false;
  int status = 0;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : native_(new Native) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&native_->pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) native_->pid = -1;
}

ChildProcess::~ChildProcess() {
  if (native_->pid > 0 && !native_->reaped) kill();
  delete native_;
}

bool ChildProcess::started() const { return native_->pid > 0; }

bool ChildProcess::wait(int timeout_ms, int& exit_code) {
  if (native_->pid <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!native_->reaped) {
    if (waitpid(native_->pid, &native_->status, WNOHANG) == native_->pid) {
      native_->reaped = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  exit_code = WIFEXITED(native_->status) ? WEXITSTATUS(native_->status) : 128 + WTERMSIG(native_->status);
  return true;
}

void ChildProcess::kill() {
  if (native_->pid <= 0 || native_->reaped) return;
  ::kill(native_->pid, SIGKILL);
  waitpid(native_->pid, &native_->status, 0);
  native_->reaped = true;
}

std::string program_path(const std::string& name) { return module_path(name); }
#endif

std::string run_unique_prefix() {
#if defined(_WIN32)
  const unsigned long id = GetCurrentProcessId();
#else
  const unsigned long id = static_cast<unsigned long>(getpid());
#endif
  return "efilink-test-" + std::to_string(id) + "-";
}

}  // namespace efi::test

namespace efi::test {

double process_cpu_seconds() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& time) {
    return static_cast<double>(uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) * 1e-7;
  };
  return seconds(kernel) + seconds(user);
#else
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

}  // namespace efi::test
