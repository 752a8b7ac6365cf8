#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_process.h"

namespace efi::test {

std::string module_path(const std::string& file) { return std::string(EFI_TEST_MODULE_DIR) + file; }

std::string test_simulator_path(const std::string& variant) {
  return module_path("test_sim_" + variant + EFI_MODULE_SUFFIX);
}

std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (run_unique_prefix() + name)).string();
}

std::string file_text(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> file_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

RemovedAtEnd::~RemovedAtEnd() {
  std::error_code ignored;
  for (const std::string& path : paths) std::filesystem::remove_all(path, ignored);
}

HostLibrary::HostLibrary() : module_(platform::load_module(module_path(EFI_LIBRARY_FILE).c_str())) {
  if (!module_) return;
  auto find = [this](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(platform::find_symbol(module_, name));
  };
  find(initialize, "EfiInitializeInterfaces");
  find(close, "EfiCloseInterfaces");
  find(connect, "EfiConnectCommandResponseInterface");
  find(append_playback, "EfiAppendPlayback");
  find(update_runtime_options, "EfiUpdateRuntimeOptions");
  find(enable_error_messages, "EnableErrorMessages");
  find(send_command, "EfiSendCommand");
  find(set_message_handler, "EfiSetMessageHandler");
  find(set_device_directory, "EfiSetDeviceDirectory");
  find(set_adapter_library, "EfiSetAdapterLibrary");
  find(set_ethernet_address, "EfiSetEthernetAddress");
  find(set_trace_file, "EfiSetTraceFile");
  find(library_version, "EfiGetLibraryVersion");
}

}  // namespace efi::test
