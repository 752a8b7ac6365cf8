#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "system.h"

extern char** environ;

namespace efilink_cli {

namespace {
sigset_t interrupts() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

class PosixChild : public ChildProcess {
 public:
  PosixChild(pid_t pid, int output) : pid_(pid), output_(output) {}
  ~PosixChild() override {
    if (pid_ > 0) stop();
  }
  bool read_line(std::string& line, int timeout_ms) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      pollfd entry{output_, POLLIN, 0};
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
      char chunk[512];
      const ssize_t got = read(output_, chunk, sizeof chunk);
      if (got <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }
  int stop() override {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    close(output_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_;
  int output_;
  std::string buffer_;
};
}  // namespace

const bool DEVICE_FILES_BY_PATH = true;

int process_id() { return getpid(); }

uint64_t resident_kib() {
  // Linux tells it in pages, second field of its own statm file.
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  unsigned long long size = 0, resident = 0;
  const bool read = std::fscanf(statm, "%llu %llu", &size, &resident) == 2;
  std::fclose(statm);
  return read ? resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) / 1024 : 0;
}

bool process_running(int pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

std::string executable_directory() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "";
  std::string directory(path, static_cast<size_t>(length));
  return directory.substr(0, directory.find_last_of('/') + 1);
}

bool stdout_is_terminal() { return isatty(STDOUT_FILENO) != 0; }

void prepare_console() {}

std::FILE* set_standard_output_apart() {
  std::fflush(stdout);
  const int kept = dup(STDOUT_FILENO);
  if (kept < 0) return stdout;
  std::FILE* stream = fdopen(kept, "w");
  if (!stream) {
    close(kept);
    return stdout;
  }
  dup2(STDERR_FILENO, STDOUT_FILENO);
  return stream;
}

void hold_standard_output(bool hold) {
  static int saved = -1;
  std::fflush(stdout);
  if (hold && saved < 0) {
    saved = dup(STDOUT_FILENO);
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere >= 0) {
      dup2(nowhere, STDOUT_FILENO);
      close(nowhere);
    }
  } else if (!hold && saved >= 0) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
    saved = -1;
  }
}

void catch_interrupts() {
  const sigset_t set = interrupts();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void wait_for_interrupt() {
  const sigset_t set = interrupts();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
}

std::string user_device_directory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/efilink";
  return (std::filesystem::temp_directory_path() / ("efilink-" + std::to_string(getuid()))).string();
}

bool make_user_directory(const std::string& directory) {
  std::error_code error;
  const bool created = std::filesystem::create_directories(directory, error);
  if (error) throw std::runtime_error("cannot create the device directory " + directory + ": " + error.message());
  if (created) {
    chmod(directory.c_str(), 0700);
    return true;
  }
  struct stat status{};
  if (lstat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
    throw std::runtime_error("the device directory " + directory + " is not a directory");
  if (status.st_uid != getuid())
    throw std::runtime_error("the device directory " + directory + " belongs to another user");
  return false;
}

std::unique_ptr<ChildProcess> ChildProcess::start_self(const std::vector<std::string>& arguments) {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return nullptr;
  self[length] = '\0';
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return nullptr;
  std::vector<char*> argv{self};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  // The child starts with no signal held back, whatever this process holds.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, self, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipe_ends[1]);
  if (failed != 0) {
    close(pipe_ends[0]);
    return nullptr;
  }
  return std::make_unique<PosixChild>(pid, pipe_ends[0]);
}

}  // namespace efilink_cli
