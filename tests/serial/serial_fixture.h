#pragma once

// What the serial link tests share: the unit behind a serial line, the stand-in UART driver
// pointed at that line, and a test's view of the driver's calls.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "link_server.h"
#include "platform/module.h"
#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace efi::test {

inline void set_environment(const char* name, const std::string& value) {
#if defined(_WIN32)
  SetEnvironmentVariableA(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

inline std::string uart_driver_file() {
  return module_path(platform::modules_export_ordinals() ? "CDRVXD32.dll" : "libcdrvxd32.so");
}

// The stand-in driver as the link loaded it: the calls it saw, failures on demand.
class StandInDriver {
 public:
  StandInDriver() : module_(platform::load_module(uart_driver_file().c_str())) {
    take_ = reinterpret_cast<int32_t (*)(char*, int32_t)>(platform::find_symbol(module_, "StandInTakeCalls"));
    fail_ = reinterpret_cast<void (*)(const char*, int32_t)>(platform::find_symbol(module_, "StandInFailNext"));
  }
  bool loaded() const { return take_ && fail_; }
  // The calls since the last look, one per line.
  std::vector<std::string> calls() const {
    std::string text(8192, '\0');
    text.resize(static_cast<size_t>(take_(text.data(), static_cast<int32_t>(text.size()))));
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(text.substr(at, end - at));
    return lines;
  }
  void fail_next(const char* function, int32_t status) const { fail_(function, status); }

 private:
  platform::Module module_;
  int32_t (*take_)(char*, int32_t) = nullptr;
  void (*fail_)(const char*, int32_t) = nullptr;
};

// Every port the stand-in knows leads to `device`.
inline void map_uart_ports(const std::string& device) {
  for (const char* key : {"CDRVXD32_PORT_PCI0", "CDRVXD32_PORT_PCI2", "CDRVXD32_PORT_3F8", "CDRVXD32_PORT_2F8"})
    set_environment(key, device);
}

}  // namespace efi::test
