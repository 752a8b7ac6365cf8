// The one place the tests start processes; each platform its own way.
#include "test_process.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/device_interface.h"

#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace efi::test {

#if defined(_WIN32)
int run_command_line(std::string command_line, unsigned long wait_ms) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return -1;
  DWORD code = STILL_ACTIVE;
  if (wait_ms) WaitForSingleObject(info.hProcess, wait_ms);
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return static_cast<int>(code);
}

int run_program(const std::string& name, const std::vector<std::string>& arguments) {
  std::string command_line = std::string("\"").append(module_path(name + ".exe")) + "\"";
  for (const auto& argument : arguments) command_line += " \"" + argument + "\"";
  return run_command_line(command_line, INFINITE);
}

std::string run_unique_prefix() { return "efilink-test-" + std::to_string(GetCurrentProcessId()) + "-"; }
#else
int run_program(const std::string& name, const std::vector<std::string>& arguments) {
  const std::string program = module_path(name);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int status = 0;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string run_unique_prefix() { return "efilink-test-" + std::to_string(getpid()) + "-"; }
#endif

int run_shell(const std::string& command, std::string& output) {
#if defined(_WIN32)
  // cmd /c strips one pair of quotes around the whole line.
  FILE* pipe = _popen(("\"" + command + "\"").c_str(), "r");
#else
  FILE* pipe = popen(command.c_str(), "r");
#endif
  if (!pipe) return -1;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
#if defined(_WIN32)
  return _pclose(pipe);
#else
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

DeviceDirectory::DeviceDirectory(const char* device_class, const std::string& target) {
  namespace fs = std::filesystem;
  root = (fs::temp_directory_path() / (run_unique_prefix() + "devices")).string();
  entry = root + "/" + device_class + "/unit0";
#if defined(_WIN32)
  found = target;
#else
  found = entry;
#endif
  fs::create_directories(root + "/" + device_class);
  if (!target.empty() && found == target) std::ofstream(entry) << target;
  else if (!target.empty()) fs::create_symlink(target, entry);
  platform::set_device_directory(root.c_str());
}

DeviceDirectory::~DeviceDirectory() {
  platform::set_device_directory(nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

namespace {
double cpu_seconds(bool whole_process) {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  if (whole_process)
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  else
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& time) {
    return static_cast<double>(uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) * 1e-7;
  };
  return seconds(kernel) + seconds(user);
#else
  timespec now{};
  clock_gettime(whole_process ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}
}  // namespace

double process_cpu_seconds() { return cpu_seconds(true); }
double thread_cpu_seconds() { return cpu_seconds(false); }

}  // namespace efi::test
