#include <unistd.h>

#include <climits>

#include "system.h"

namespace efilink_cli {

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

}  // namespace efilink_cli
