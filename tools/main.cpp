// efilink: the command-line host. It links the shared library and calls its exports as any host
// would; the layout tables and the software unit's model come from the static parts.
#include <efilink/efilink.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "commands.h"
#include "json.h"
#include "system.h"

namespace efilink_cli {

namespace {

const char* const HELP =
    "usage: efilink [demo | unit | send | layouts | lock | replay] [options]   (no subcommand: demo)\n"
    "\n"
    "  demo      every command over one link (the simulator's by default) or over all of them\n"
    "            (--link all), against the software unit\n"
    "  unit      serves the software unit on the links named, until interrupted\n"
    "  send      one command on any link, response decoded as its layout says\n"
    "  layouts   the converter table and the layouts\n"
    "  lock      the machine-wide interface lock and the shared list of USB units\n"
    "  replay    a trace's exchanges answered again by the simulator link, checked\n"
    "\n"
    "efilink <subcommand> --help describes each; efilink --version names the library.\n";

}  // namespace

// Beside the program in a build; where the simulator component puts it in an install.
std::string bundled_simulator_path() {
  const std::string beside = executable_directory() + EFI_SIMULATOR_FILE;
  const std::filesystem::path installed =
      std::filesystem::path(executable_directory() + EFI_SIMULATOR_INSTALL_DIR + EFI_SIMULATOR_FILE)
          .lexically_normal()
          .make_preferred();
  std::error_code error;
  if (!std::filesystem::exists(beside, error) && std::filesystem::exists(installed, error)) return installed.string();
  return beside;
}

LibraryMessages::LibraryMessages() { EfiSetMessageHandler(handler, this); }
LibraryMessages::~LibraryMessages() { EfiSetMessageHandler(nullptr, nullptr); }

void LibraryMessages::handler(const char* title, const char* text, void* context) {
  static_cast<LibraryMessages*>(context)->lines_.push_back(std::string(title ? title : "") + ": " +
                                                           (text ? text : ""));
}

}  // namespace efilink_cli

int main(int argc, char** argv) {
  using namespace efilink_cli;
  prepare_console();
  const std::string subcommand = argc > 1 ? argv[1] : "demo";
  // Options without a subcommand belong to the demo, the default.
  const bool implicit_demo =
      argc > 1 && subcommand.rfind("--", 0) == 0 && subcommand != "--help" && subcommand != "--version";
  Arguments arguments(argc, argv, implicit_demo ? 1 : 2);
  try {
    if (subcommand == "--help" || subcommand == "-h" || subcommand == "help") {
      std::fputs(HELP, stdout);
      return 0;
    }
    if (subcommand == "--version") {
      std::string text(64, '\0');
      while (EfiGetLibraryVersion(text.data(), static_cast<uint32_t>(text.size())) != 0 && text.size() < 4096)
        text.resize(text.size() * 2);
      std::puts(text.c_str());
      return 0;
    }
    if (subcommand == "demo" || implicit_demo) return run_demo(arguments);
    if (subcommand == "unit") return run_unit(arguments);
    if (subcommand == "send") return run_send(arguments);
    if (subcommand == "layouts") return run_layouts(arguments);
    if (subcommand == "lock") return run_lock(arguments);
    if (subcommand == "replay") return run_replay(arguments);
    throw UsageError("unknown subcommand '" + subcommand + "'");
  } catch (const UsageError& error) {
    if (arguments.json())
      print_json(json_error(error.what()));
    else
      std::fprintf(stderr, "efilink: %s (efilink --help)\n", error.what());
    return EXIT_USAGE;
  } catch (const Failure& failure) {
    if (arguments.json()) {
      print_json(json_error(failure.what(), failure.messages));
    } else {
      std::fprintf(stderr, "efilink: %s\n", failure.what());
      for (const std::string& line : failure.messages) std::fprintf(stderr, "library: %s\n", line.c_str());
    }
    return failure.exit_code;
  } catch (const std::exception& error) {
    if (arguments.json())
      print_json(json_error(error.what()));
    else
      std::fprintf(stderr, "efilink: %s\n", error.what());
    return 1;
  }
}
