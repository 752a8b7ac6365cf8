#pragma once

// The subcommands of the efilink host and what they share.

#include <stdexcept>
#include <efilink/efilink.h>

#include <optional>
#include <string>
#include <vector>

#include "arguments.h"

namespace efilink_cli {

int run_demo(Arguments& arguments);
int run_send(Arguments& arguments);
int run_layouts(Arguments& arguments);
int run_lock(Arguments& arguments);
int run_unit(Arguments& arguments);

// The device directory the CLI uses: the option, else EFILINK_DEVICE_DIR, else this user's own
// directory, which a unit program (`serving`) makes and other subcommands use while it exists.
// "" leaves the library's default.
std::string device_directory_for(const std::optional<std::string>& option, bool serving);

// How the unit program and the demo reach the UART-driver link: the stand-in driver's port 0x3F8
// (legacy UART, first port) on the command/response interface, its device in this variable.
inline constexpr uint32_t UART_FLAGS = EFI_FLAG_UART_SERIAL | 1u << EFI_FLAG_SERIAL_PORT_SHIFT |
                                       EFI_FLAG_SERIAL_FIRST_PORT | EFI_FLAG_COMMAND_RESPONSE_INTERFACE;
inline constexpr const char* UART_PORT_VARIABLE = "CDRVXD32_PORT_3F8";

// A subcommand that cannot do its work: main reports it as "efilink: <what>" followed by the
// library's messages, one "library: " line each, on standard error (with --json as one object
// with the fields "error" and "messages" on standard output), and exits with `exit_code`.
struct Failure : std::runtime_error {
  Failure(const std::string& what, std::vector<std::string> library_messages = {}, int code = 1)
      : std::runtime_error(what), messages(std::move(library_messages)), exit_code(code) {}
  std::vector<std::string> messages;
  int exit_code;
};
int run_replay(Arguments& arguments);

// The simulator library that comes with the host, beside its executable.
std::string bundled_simulator_path();

// Messages the library would show, collected through its message handler so that they reach
// the user as lines of ours (and stay out of --json output).
class LibraryMessages {
 public:
  LibraryMessages();
  ~LibraryMessages();
  LibraryMessages(const LibraryMessages&) = delete;
  LibraryMessages& operator=(const LibraryMessages&) = delete;
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  static void handler(const char* title, const char* text, void* context);
  std::vector<std::string> lines_;
};

// Help texts, shown by --help and named in usage errors.
extern const char* const DEMO_HELP;
extern const char* const SEND_HELP;
extern const char* const LAYOUTS_HELP;
extern const char* const LOCK_HELP;
extern const char* const UNIT_HELP;
extern const char* const REPLAY_HELP;

}  // namespace efilink_cli
