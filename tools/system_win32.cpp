#include <windows.h>
#include <io.h>

#include <cstdio>

#include "system.h"

namespace efilink_cli {

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

}  // namespace efilink_cli
