#include <windows.h>
#include <io.h>
#include <psapi.h>

#include <cstdio>

#include "system.h"

namespace efilink_cli {

namespace {
HANDLE interrupted = nullptr;

BOOL WINAPI on_console_event(DWORD) {
  SetEvent(interrupted);
  return TRUE;
}

class WindowsChild : public ChildProcess {
 public:
  WindowsChild(PROCESS_INFORMATION process, HANDLE output) : process_(process), output_(output) {}
  ~WindowsChild() override {
    if (process_.hProcess) stop();
  }
  bool read_line(std::string& line, int timeout_ms) override {
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        line = buffer_.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        buffer_.erase(0, end + 1);
        return true;
      }
      DWORD waiting = 0;
      if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &waiting, nullptr)) return false;
      if (waiting == 0) {
        if (GetTickCount64() >= until) return false;
        Sleep(5);
        continue;
      }
      char chunk[512];
      DWORD got = 0;
      if (!ReadFile(output_, chunk, waiting < sizeof chunk ? waiting : sizeof chunk, &got, nullptr) || got == 0)
        return false;
      buffer_.append(chunk, got);
    }
  }
  int stop() override {
    if (!process_.hProcess) return -1;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
    CloseHandle(output_);
    process_ = PROCESS_INFORMATION{};
    return static_cast<int>(code);
  }

 private:
  PROCESS_INFORMATION process_;
  HANDLE output_;
  std::string buffer_;
};
}  // namespace

const bool DEVICE_FILES_BY_PATH = false;

int process_id() { return static_cast<int>(GetCurrentProcessId()); }

uint64_t resident_kib() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize / 1024;
}

bool process_running(int pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process) return false;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

std::string executable_directory() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "";
  std::string directory(path, length);
  return directory.substr(0, directory.find_last_of("\\/") + 1);
}

bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

void prepare_console() { SetConsoleOutputCP(CP_UTF8); }

// The library shares the C runtime of this program, so its printf follows descriptor 1.
std::FILE* set_standard_output_apart() {
  std::fflush(stdout);
  const int kept = _dup(_fileno(stdout));
  if (kept < 0) return stdout;
  std::FILE* stream = _fdopen(kept, "w");
  if (!stream) {
    _close(kept);
    return stdout;
  }
  _dup2(_fileno(stderr), _fileno(stdout));
  return stream;
}

void hold_standard_output(bool hold) {
  static int saved = -1;
  std::fflush(stdout);
  if (hold && saved < 0) {
    saved = _dup(_fileno(stdout));
    if (FILE* nowhere = std::fopen("NUL", "w")) {
      _dup2(_fileno(nowhere), _fileno(stdout));
      std::fclose(nowhere);
    }
  } else if (!hold && saved >= 0) {
    _dup2(saved, _fileno(stdout));
    _close(saved);
    saved = -1;
  }
}

void catch_interrupts() {
  interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void wait_for_interrupt() { WaitForSingleObject(interrupted, INFINITE); }

std::string user_device_directory() { return ""; }

bool make_user_directory(const std::string&) { return false; }

std::unique_ptr<ChildProcess> ChildProcess::start_self(const std::vector<std::string>& arguments) {
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  std::string command_line = std::string("\"") + self + "\"";
  for (const std::string& argument : arguments) command_line += " \"" + argument + "\"";
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return nullptr;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessA(self, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    return nullptr;
  }
  return std::make_unique<WindowsChild>(process, read_end);
}

}  // namespace efilink_cli
