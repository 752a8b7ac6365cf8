#pragma once

// What the serial link tests share: the unit behind a serial line, the stand-in UART driver
// pointed at that line, and a test's view of the driver's calls.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bus.h"
#include "link_test.h"
#include "platform/clock.h"
#include "platform/device_interface.h"
#include "platform/module.h"
#include "test_process.h"
#include "transports/common/in_step.h"
#include "unit_responder.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace efi::test {

inline std::string uart_driver_file() {
  return module_path(platform::modules_are_dlls() ? "CDRVXD32.dll" : "libcdrvxd32.so");
}

// The stand-in driver as the link loaded it: the calls it saw, failures on demand.
class StandInDriver {
 public:
  StandInDriver() : module_(platform::load_module(uart_driver_file().c_str())) {
    take_ = reinterpret_cast<int32_t (*)(char*, int32_t)>(platform::find_symbol(module_, "StandInTakeCalls"));
    fail_ = reinterpret_cast<void (*)(const char*, int32_t)>(platform::find_symbol(module_, "StandInFailNext"));
  }
  bool loaded() const { return take_ && fail_; }
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

// The serial links against an echoing unit, with command 0x60 (sent unconverted) whose data count
// up from their size: no two exchanges of different sizes look alike.
class SerialLinkTest : public LinkTest {
 protected:
  uint32_t echo(uint16_t size, uint16_t capacity = 256) {
    return send(size, capacity, 0x60, static_cast<unsigned char>(size));
  }
  softunit::SerialServer server{softunit::echo_responder()};
};

// Every port the stand-in knows leads to `device`.
inline void map_uart_ports(const std::string& device) {
  for (const char* key : {"CDRVXD32_PORT_PCI0", "CDRVXD32_PORT_PCI2", "CDRVXD32_PORT_3F8", "CDRVXD32_PORT_2F8"})
    softunit::set_environment(key, device.c_str());
}

// Makes the port name COM<n> lead to `device`: natively a symbolic link <device directory>/COM<n>
// in a directory of the test's own; under Wine the prefix's dosdevices/com<n> link, made with the
// system's ln (Wine runs Unix programs as they are). Empty reason when it worked.
class ComPortMapping {
 public:
  ComPortMapping(unsigned number, const std::string& device) {
    namespace fs = std::filesystem;
#if defined(_WIN32)
    // Wine names its prefix in WINECONFIGDIR as "\??\Z:\root\.wine".
    std::string prefix = environment("WINECONFIGDIR");
    const size_t drive = prefix.find("Z:");
    prefix = drive == std::string::npos ? "" : prefix.substr(drive + 2);
    std::replace(prefix.begin(), prefix.end(), '\\', '/');
    if (prefix.empty() || device.rfind("Z:", 0) != 0) {
      reason_ = "COM ports are mapped onto pseudo-terminals only under Wine";
      return;
    }
    link_ = prefix + "/dosdevices/com" + std::to_string(number);
    if (run_command_line("Z:\\bin\\ln -sfn " + device.substr(2) + " " + link_, 5000) < 0) {
      reason_ = "ln did not start";
      return;
    }
    const std::string seen = "Z:" + link_;
    for (int tries = 0; GetFileAttributesA(seen.c_str()) == INVALID_FILE_ATTRIBUTES && tries < 50; ++tries)
      platform::sleep_ms(20);
#else
    directory_ = fs::temp_directory_path() / ("efilink-com-" + std::to_string(getpid()));
    fs::create_directories(directory_);
    link_ = directory_ / ("COM" + std::to_string(number));
    std::error_code error;
    fs::remove(link_, error);
    fs::create_symlink(device, link_, error);
    if (error) reason_ = "cannot link " + link_.string() + ": " + error.message();
    platform::set_device_directory(directory_.string().c_str());
#endif
  }
  ~ComPortMapping() {
#if defined(_WIN32)
    if (!link_.empty()) run_command_line("Z:\\bin\\rm -f " + link_, 5000);
#else
    // Only this mapping's link; the directory goes with the last one.
    std::error_code error;
    std::filesystem::remove(link_, error);
    if (std::filesystem::is_empty(directory_, error) && !error) {
      std::filesystem::remove(directory_, error);
      platform::set_device_directory(nullptr);
    }
#endif
  }
  const std::string& skip_reason() const { return reason_; }

 private:
#if defined(_WIN32)
  static std::string environment(const char* name) {
    char value[1024];
    const DWORD size = GetEnvironmentVariableA(name, value, sizeof value);
    return size > 0 && size < sizeof value ? std::string(value, size) : std::string();
  }
  std::string link_;
#else
  std::filesystem::path directory_, link_;
#endif
  std::string reason_;
};

}  // namespace efi::test
