#pragma once

#include <efilink/efilink.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/module.h"

namespace efi::test {

// Path under which the loader finds a module built by the project.
std::string module_path(const std::string& file);
// The test simulator library of one variant: "complete", "no_processor", "no_append", "no_start".
std::string test_simulator_path(const std::string& variant);

// CPU time this process has used so far, user and system, in seconds.
double process_cpu_seconds();
// The calling thread's alone.
double thread_cpu_seconds();
// A path in the temporary directory, named with this run's unique prefix.
std::string temp_path(const std::string& name);
// The text of a file, and its lines; nothing for a file that does not open.
std::string file_text(const std::string& path);
std::vector<std::string> file_lines(const std::string& path);
// Removes the files it names (and directories with all they hold) when it goes out of scope.
struct RemovedAtEnd {
  std::vector<std::string> paths;
  ~RemovedAtEnd();
};

// Seconds on the library's clock (which skips idle time while a SkipIdleTime lives), for bounds a
// test checks on a link's waits.
inline double seconds_now() {
  const platform::Clock clock;
  return static_cast<double>(clock.now()) / static_cast<double>(clock.frequency);
}

// Collects the messages the library would show, through the message-handler extension.
struct MessageLog {
  struct Message {
    std::string title, text;
  };
  std::vector<Message> messages;
  std::vector<std::string> texts() const {
    std::vector<std::string> all;
    for (const Message& message : messages) all.push_back(message.text);
    return all;
  }
  static void handler(const char* title, const char* text, void* context) {
    static_cast<MessageLog*>(context)->messages.push_back({title, text});
  }
};

// The testing library as a host sees it: loaded at run time, exports found by name.
class HostLibrary {
 public:
  HostLibrary();
  ~HostLibrary() { unload(); }
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  bool loaded() const { return bool(module_); }
  // Unloads now (the destructor then does nothing).
  bool unload() { return platform::free_module(module_); }

  decltype(&EfiInitializeInterfaces) initialize = nullptr;
  decltype(&EfiCloseInterfaces) close = nullptr;
  decltype(&EfiConnectCommandResponseInterface) connect = nullptr;
  decltype(&EfiAppendPlayback) append_playback = nullptr;
  decltype(&EfiUpdateRuntimeOptions) update_runtime_options = nullptr;
  decltype(&EnableErrorMessages) enable_error_messages = nullptr;
  decltype(&EfiSendCommand) send_command = nullptr;
  decltype(&EfiSetMessageHandler) set_message_handler = nullptr;
  decltype(&EfiSetDeviceDirectory) set_device_directory = nullptr;
  decltype(&EfiSetAdapterLibrary) set_adapter_library = nullptr;
  decltype(&EfiSetEthernetAddress) set_ethernet_address = nullptr;
  decltype(&EfiSetTraceFile) set_trace_file = nullptr;
  decltype(&EfiGetLibraryVersion) library_version = nullptr;

 private:
  platform::Module module_;
};

}  // namespace efi::test
