#include "transports/serial/uart_driver.h"

namespace efi {

namespace {

struct Binding {
  const char* name;
  uint16_t ordinal;
};

template <typename Function>
bool bind_one(const platform::Module& module, const Binding& binding, Function& function) {
  void* found = platform::modules_are_dlls() ? platform::find_symbol_by_ordinal(module, binding.ordinal)
                                             : platform::find_symbol(module, binding.name);
  function = reinterpret_cast<Function>(found);
  return found != nullptr;
}

}  // namespace

bool UartDriver::bind(const std::string& file, std::string& missing) {
  missing.clear();
  platform::Module module = platform::load_module(file.c_str());
  if (!module) return false;
  UartDriver driver;
  auto take = [&](const Binding& binding, auto& function) {
    if (missing.empty() && !bind_one(module, binding, function)) missing = binding.name;
  };
  take({"WCSCVxDInit", 11}, driver.WCSCVxDInit);
  take({"WCSCVxDOpenPort", 29}, driver.WCSCVxDOpenPort);
  take({"WCSCVxDSetBaudDiv", 17}, driver.WCSCVxDSetBaudDiv);
  take({"WCSCVxDSetPortCharacteristics", 18}, driver.WCSCVxDSetPortCharacteristics);
  take({"WCSCVxDFlush", 7}, driver.WCSCVxDFlush);
  take({"WCSCVxDGetPort", 9}, driver.WCSCVxDGetPort);
  take({"WCSCVxDPutPacket", 13}, driver.WCSCVxDPutPacket);
  take({"WCSCVxDGetPacket", 8}, driver.WCSCVxDGetPacket);
  take({"WCSCVxDCleanup", 4}, driver.WCSCVxDCleanup);
  if (!missing.empty()) return false;
  driver.module_ = std::move(module);
  *this = std::move(driver);
  return true;
}

}  // namespace efi
