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

}  // namespace efilink_cli
