// efilink unit: the software unit's model behind real channels, one link server per link named,
// until interrupted. Entries it makes in the device directory go again when it ends.
#include <efilink/efilink.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bus.h"
#include "commands.h"
#include "json.h"
#include "link_server.h"
#include "playback.h"
#include "slcan_adapter.h"
#include "system.h"
#include "transports/net/bluetooth_link.h"
#include "transports/usb/usb_link.h"
#include "unit_responder.h"

namespace efilink_cli {

const char* const UNIT_HELP =
    "usage: efilink unit [--usb] [--tcp [<host>:]<port>] [--bluetooth] [--com <n>] [--uart] [--can]\n"
    "                    [--slcan [<n>]] [--device-dir <path>] [--script <file>] [--playback <file>]\n"
    "                    [--log] [--json]\n"
    "\n"
    "Serves the software unit's model on every link named, all at once, until interrupted (Ctrl-C\n"
    "or SIGTERM), then removes the entries it made. It prints where each link is and a command\n"
    "that reaches it.\n"
    "\n"
    "  --usb                  a pseudo-terminal entered in the USB class directory of the device\n"
    "                         directory (Windows: a named pipe, for send --text)\n"
    "  --tcp [<host>:]<port>  the Ethernet link's unit on TCP (host default 127.0.0.1; port 0: any)\n"
    "  --bluetooth            a pseudo-terminal entered in the Bluetooth class directory\n"
    "  --com <n>              a serial line entered as COM<n> in the device directory (n 1..15)\n"
    "  --uart                 a serial line for the UART-driver link's stand-in driver\n"
    "  --can                  the virtual CAN bus of the adapter stand-ins (on the port in\n"
    "                         EFILINK_CAN_BUS, else any free one)\n"
    "  --slcan [<n>]          a serial-line CAN adapter on that bus, its serial line entered as\n"
    "                         COM<n> in the device directory (default: the lowest number free)\n"
    "  --device-dir <path>    the device directory; default EFILINK_DEVICE_DIR, else this user's\n"
    "                         $XDG_RUNTIME_DIR/efilink or efilink-<uid> in the temporary directory\n"
    "                         (where send and lock look too)\n"
    "  --script <file>        faults and exact answers, one line per exchange (softunit/README.md)\n"
    "  --playback <file>      playback records, answered after the script and before the model\n"
    "  --log                  one line per exchange\n"
    "  --json                 one JSON object per line instead of text\n"
    "\n"
    "On Windows only --usb, --tcp and --can: the others need drivers Windows does not have.\n";

std::string device_directory_for(const std::optional<std::string>& option, bool serving) {
  if (option) return *option;
  if (const char* variable = std::getenv("EFILINK_DEVICE_DIR"); variable && *variable) return variable;
  const std::string own = user_device_directory();
  std::error_code error;
  if (serving || (!own.empty() && std::filesystem::is_directory(own, error))) return own;
  return "";
}

namespace {

namespace fs = std::filesystem;
using softunit::LinkFault;

// A unit's entry in a class directory: this prefix and its process id.
constexpr const char* ENTRY_PREFIX = "efilink-unit-";

struct UnitOptions {
  bool usb = false, bluetooth = false, uart = false, can = false, log = false, json = false;
  std::optional<std::string> tcp_host;
  uint16_t tcp_port = 0;
  std::optional<unsigned> com;
  std::optional<unsigned> slcan;  // 0: the lowest COM number free
  std::optional<std::string> device_directory, script, playback;
};

UnitOptions parse(Arguments& arguments) {
  UnitOptions options;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--usb") {
      options.usb = true;
    } else if (argument == "--bluetooth") {
      options.bluetooth = true;
    } else if (argument == "--uart") {
      options.uart = true;
    } else if (argument == "--can") {
      options.can = true;
    } else if (argument == "--log") {
      options.log = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "--tcp") {
      const std::string address = arguments.value_of(argument);
      const size_t colon = address.rfind(':');
      options.tcp_host = colon == std::string::npos ? "127.0.0.1" : address.substr(0, colon);
      options.tcp_port = static_cast<uint16_t>(
          parse_number(colon == std::string::npos ? address : address.substr(colon + 1), 0xFFFF, "--tcp port"));
    } else if (argument == "--com") {
      options.com = static_cast<unsigned>(parse_number(arguments.value_of(argument), 15, "--com"));
      if (*options.com == 0) throw UsageError("unit: --com takes a port number from 1 to 15");
    } else if (argument == "--slcan") {
      options.slcan = 0;
      if (!arguments.empty() && !arguments.peek().empty() &&
          arguments.peek().find_first_not_of("0123456789") == std::string::npos) {
        options.slcan = static_cast<unsigned>(parse_number(arguments.take(), 255, "--slcan"));
        if (*options.slcan == 0) throw UsageError("unit: --slcan takes a port number from 1 to 255");
      }
    } else if (argument == "--device-dir") {
      options.device_directory = arguments.value_of(argument);
    } else if (argument == "--script") {
      options.script = arguments.value_of(argument);
    } else if (argument == "--playback") {
      options.playback = arguments.value_of(argument);
    } else {
      throw UsageError("unit: unexpected argument '" + argument + "'");
    }
  }
  if (!options.usb && !options.tcp_host && !options.bluetooth && !options.com && !options.uart && !options.can &&
      !options.slcan)
    throw UsageError("unit: name at least one link (--usb, --tcp, --bluetooth, --com, --uart, --can, --slcan)");
  if (options.slcan && options.com && *options.slcan == *options.com)
    throw UsageError("unit: --com and --slcan name the same port");
  if (!DEVICE_FILES_BY_PATH && (options.bluetooth || options.com || options.uart || options.slcan))
    throw UsageError("unit: on Windows only --usb, --tcp and --can can be served");
  return options;
}

std::string read_file(const std::string& path, const char* what) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error(std::string("cannot read the ") + what + " " + path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The script's steps, then one `answer` per playback record.
std::vector<LinkFault> scripted_faults(const UnitOptions& options) {
  std::vector<LinkFault> faults;
  if (options.script) {
    try {
      faults = softunit::parse_fault_script(read_file(*options.script, "script"));
    } catch (const std::invalid_argument& error) {
      throw std::runtime_error("script " + *options.script + ", " + error.what());
    }
  }
  if (options.playback) {
    const std::string block = read_file(*options.playback, "playback file");
    std::deque<softunit::Response> records;
    if (const uint32_t status = softunit::parse_playback(block.data(), static_cast<uint32_t>(block.size()), records))
      throw std::runtime_error("playback file " + *options.playback + " is malformed (" +
                               (status == softunit::PLAYBACK_BAD_MARKER ? "a marker is not 0x55AA"
                                : status == softunit::PLAYBACK_TOO_LARGE ? "a record holds more than 4088 bytes"
                                                                         : "a record runs past its end") +
                               ")");
    for (softunit::Response& record : records)
      faults.push_back({LinkFault::Kind::answer, record.header.response_status, std::move(record.data)});
  }
  return faults;
}

// Lines to standard output from several server threads, whole and at once.
class Output {
 public:
  explicit Output(bool json) : json_(json) {}
  bool json() const { return json_; }
  void line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
  void exchange(const std::string& link, const softunit::ExchangeNote& note) {
    const unsigned code = note.header.command_code;
    const bool numbered = code >= EFI_COMMAND_CODE_BASE && code <= EFI_COMMAND_CODE_BASE + 0xFF;
    const unsigned command = numbered ? code - EFI_COMMAND_CODE_BASE : code;
    if (json_) {
      Json json;
      json.begin_object().key("event").string("exchange").key("link").string(link);
      json.key("time").string(now());
      json.key("command").number(uint64_t{command}).key("command_bytes").number(uint64_t{note.command_bytes});
      json.key("fault").string(softunit::fault_name(note.fault)).key("fault_value").number(uint64_t{note.fault_value});
      json.key("status").number(uint64_t{note.response_status}).key("response_bytes").number(uint64_t{note.response_bytes});
      line(json.end_object().text());
      return;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s  %-9s %s 0x%02X, %zu bytes -> status 0x%04x, %zu bytes", now().c_str(),
                  link.c_str(), numbered ? "command" : "code", command, note.command_bytes, note.response_status,
                  note.response_bytes);
    std::string entry = text;
    if (note.fault != LinkFault::Kind::none)
      entry += std::string("  [") + softunit::fault_name(note.fault) + " " + std::to_string(note.fault_value) + "]";
    line(entry);
  }

 private:
  static std::string now() {
    const auto clock = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(clock);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.time_since_epoch()).count() % 1000;
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&seconds));
    char with_milliseconds[40];
    std::snprintf(with_milliseconds, sizeof with_milliseconds, "%s.%03d", text, static_cast<int>(milliseconds));
    return with_milliseconds;
  }
  bool json_;
  std::mutex mutex_;
};

// How a host reaches a served link.
struct Reach {
  std::string link;
  std::string where;     // device path, host:port or bus port
  std::string entry;     // its entry in the device directory, if any
  uint32_t flags = 0;    // a flag word of EfiInitializeInterfaces that selects it
  std::string text;      // the text that goes with the flag word, if any
  std::string variable;  // NAME=value a host sets for the adapter library, if any
  std::string library;   // the adapter library the host loads, if any
};

// One link served: its server and its reach.
struct Served {
  std::unique_ptr<softunit::LinkServer> server;
  Reach reach;
};

// An adapter stand-in beside the program (as in a build), or "" where there is none (installed).
std::string standin(const char* file) {
  const std::string path = executable_directory() + file;
  std::error_code error;
  return fs::exists(path, error) ? path : "";
}

Reach reach_of(const std::string& link, const std::string& where, uint32_t flags) {
  Reach reach;
  reach.link = link;
  reach.where = where;
  reach.flags = flags;
  return reach;
}

// Paths made for the served links, removed newest first when it goes.
struct Made {
  std::vector<fs::path> paths;
  ~Made() {
    std::error_code ignored;
    for (auto made = paths.rbegin(); made != paths.rend(); ++made) fs::remove(*made, ignored);
  }
};

// The served links and the entries made for them. The servers stop before their entries go, and
// a link that fails to start leaves nothing behind of those started before it.
class Unit {
 public:
  explicit Unit(const UnitOptions& options) {
    const bool needs_directory =
        DEVICE_FILES_BY_PATH && (options.usb || options.bluetooth || options.com || options.slcan);
    if (needs_directory) {
      directory_ = device_directory_for(options.device_directory, true);
      const bool own = !options.device_directory && !std::getenv("EFILINK_DEVICE_DIR");
      make_directory(directory_, own);
    }
    if (options.usb) serve_device("usb", softunit::DeviceFraming::usb, efi::USB_DEVICE_CLASS, EFI_FLAG_USB);
    if (options.tcp_host) serve_tcp(*options.tcp_host, options.tcp_port);
    if (options.bluetooth)
      serve_device("bluetooth", softunit::DeviceFraming::bluetooth, efi::BLUETOOTH_DEVICE_CLASS, EFI_FLAG_BLUETOOTH);
    if (options.com) serve_com(*options.com);
    if (options.uart) serve_uart();
    if (options.can) serve_can();
    if (options.slcan) serve_slcan(*options.slcan, options.com.value_or(0));
  }
  const std::string& directory() const { return directory_; }
  std::vector<Served>& served() { return served_; }

 private:
  // Makes `directory` where it is missing and remembers what it made. The user's own default
  // directory must be private to the user, also when it was there already.
  void make_directory(const fs::path& directory, bool user_default) {
    std::error_code error;
    std::vector<fs::path> missing;
    for (fs::path at = directory; !at.empty() && !fs::exists(at, error); at = at.parent_path()) {
      missing.push_back(at);
      if (at == at.parent_path()) break;
    }
    if (user_default) {
      make_user_directory(directory.string());
    } else if (!fs::is_directory(directory, error) && (fs::create_directories(directory, error), error)) {
      throw std::runtime_error("cannot create the device directory " + directory.string() + ": " + error.message());
    }
    made_.paths.insert(made_.paths.end(), missing.rbegin(), missing.rend());
  }

  // A symbolic link `entry` to `target`; an entry left dangling by a unit that was killed is
  // replaced, any other is not touched.
  void make_entry(const fs::path& entry, const std::string& target) {
    std::error_code error;
    if (fs::is_symlink(entry, error) && !fs::exists(entry, error)) fs::remove(entry, error);
    fs::create_symlink(target, entry, error);
    if (error) throw std::runtime_error("cannot enter " + entry.string() + ": " + error.message());
    made_.paths.push_back(entry);
  }

  // Entries of units that are gone (killed before they could clean up) would be found first and
  // lead to a terminal that is no longer theirs.
  static void remove_stale_entries(const fs::path& class_directory) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(class_directory, error)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(ENTRY_PREFIX, 0) != 0 || !entry.is_symlink(error)) continue;
      const std::string pid = name.substr(std::char_traits<char>::length(ENTRY_PREFIX));
      if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos) continue;
      if (!process_running(std::stoi(pid))) fs::remove(entry.path(), error);
    }
  }

  void serve_device(const char* link, softunit::DeviceFraming framing, const char* device_class, uint32_t flags) {
    auto server = std::make_unique<softunit::DeviceServer>(softunit::unit_responder(), framing);
    Reach reach = reach_of(link, server->device_path(), flags);
    if (reach.where.empty()) throw std::runtime_error(std::string("no device for the ") + link + " link");
    if (DEVICE_FILES_BY_PATH) {
      const fs::path class_directory = fs::path(directory_) / device_class;
      make_directory(class_directory, false);
      remove_stale_entries(class_directory);
      const fs::path entry = class_directory / (ENTRY_PREFIX + std::to_string(process_id()));
      make_entry(entry, reach.where);
      reach.entry = entry.string();
    } else {
      reach.text = reach.where;
    }
    served_.push_back({std::move(server), std::move(reach)});
  }

  void serve_tcp(const std::string& host, uint16_t port) {
    auto server = std::make_unique<softunit::TcpServer>(softunit::unit_responder(), host, port);
    if (server->port() == 0) throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
    Reach reach = reach_of("tcp", host + ":" + std::to_string(server->port()), EFI_FLAG_ETHERNET);
    served_.push_back({std::move(server), std::move(reach)});
  }

  void serve_com(unsigned number) {
    auto server = std::make_unique<softunit::SerialServer>(softunit::unit_responder());
    if (server->device_path().empty()) throw std::runtime_error(server->skip_reason());
    Reach reach = reach_of("com", server->device_path(),
                           EFI_FLAG_COM_SERIAL | number << EFI_FLAG_SERIAL_PORT_SHIFT | EFI_FLAG_COMMAND_RESPONSE_INTERFACE);
    const fs::path entry = fs::path(directory_) / ("COM" + std::to_string(number));
    make_entry(entry, reach.where);
    reach.entry = entry.string();
    served_.push_back({std::move(server), std::move(reach)});
  }

  void serve_uart() {
    auto server = std::make_unique<softunit::SerialServer>(softunit::unit_responder());
    if (server->device_path().empty()) throw std::runtime_error(server->skip_reason());
    Reach reach = reach_of("uart", server->device_path(), UART_FLAGS);
    reach.variable = std::string(UART_PORT_VARIABLE) + "=" + reach.where;
    reach.library = standin(EFI_UART_STANDIN_FILE);
    served_.push_back({std::move(server), std::move(reach)});
  }

  void serve_can() {
    uint16_t port = 0;
    if (const char* variable = std::getenv(softunit::CAN_BUS_VARIABLE); variable && *variable)
      port = static_cast<uint16_t>(parse_number(variable, 0xFFFF, softunit::CAN_BUS_VARIABLE));
    auto server = std::make_unique<softunit::CanServer>(softunit::unit_responder(), false, port);
    if (server->port() == 0) throw std::runtime_error("cannot open the virtual CAN bus on port " + std::to_string(port));
    Reach reach = reach_of("can", std::to_string(server->port()), EFI_FLAG_PCAN);
    reach.variable = std::string(softunit::CAN_BUS_VARIABLE) + "=" + reach.where;
    reach.library = standin(EFI_PCAN_STANDIN_FILE);
    can_server_ = server.get();
    served_.push_back({std::move(server), std::move(reach)});
  }

  // A serial-line adapter on the bus of --can, or on a bus of its own that nobody else joins.
  void serve_slcan(unsigned number, unsigned com_number) {
    std::unique_ptr<softunit::CanServer> own_bus;
    if (!can_server_) {
      own_bus = std::make_unique<softunit::CanServer>(softunit::unit_responder());
      if (own_bus->port() == 0) throw std::runtime_error("cannot open a virtual CAN bus for the serial-line adapter");
    }
    const uint16_t bus_port = can_server_ ? can_server_->port() : own_bus->port();
    adapter_ = std::make_unique<softunit::SlcanAdapter>(bus_port);
    if (const std::string reason = adapter_->skip_reason(); !reason.empty()) throw std::runtime_error(reason);
    std::error_code error;
    for (unsigned n = 1; number == 0 && n < 256; ++n)
      if (n != com_number && !fs::exists(fs::symlink_status(fs::path(directory_) / ("COM" + std::to_string(n)), error)))
        number = n;
    if (number == 0) throw std::runtime_error("no free COM number in " + directory_);
    const std::string name = "COM" + std::to_string(number);
    Reach reach = reach_of("slcan", adapter_->device_path(), EFI_FLAG_SLCAN);
    reach.text = name;
    const fs::path entry = fs::path(directory_) / name;
    make_entry(entry, reach.where);
    reach.entry = entry.string();
    served_.push_back({std::move(own_bus), std::move(reach)});
  }

 private:
  std::string directory_;
  Made made_;
  std::vector<Served> served_;  // after made_: destroyed first
  softunit::CanServer* can_server_ = nullptr;
  std::unique_ptr<softunit::SlcanAdapter> adapter_;  // leaves the bus before its server goes
};

std::string quoted(const std::string& text) {
  return text.find_first_of(" \t\\'\"") == std::string::npos ? text : "\"" + text + "\"";
}

// A command line that reaches a served link from another terminal.
std::string send_example(const Reach& served, const UnitOptions& options) {
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%x", served.flags);
  std::string line;
  if (!served.variable.empty()) line = DEVICE_FILES_BY_PATH ? served.variable + " " : "set \"" + served.variable + "\" & ";
  line += "efilink send --flags " + std::string(flags);
  if (!served.text.empty()) line += " --text " + quoted(served.text);
  if (served.link == "tcp") line += " --address " + served.where;
  if (!served.entry.empty() && options.device_directory) line += " --device-dir " + quoted(*options.device_directory);
  if (!served.library.empty()) line += " --adapter-library " + quoted(served.library);
  return line + " 0x05 01000000";
}

void announce(Unit& unit, const UnitOptions& options, Output& output) {
  for (const Served& each : unit.served()) {
    const Reach& served = each.reach;
    if (output.json()) {
      Json json;
      json.begin_object().key("event").string("serving").key("link").string(served.link);
      json.key("path").string(served.where).key("entry").string_or_null(served.entry.empty() ? nullptr : served.entry.c_str());
      json.key("flags").number(uint64_t{served.flags});
      json.key("variable").string_or_null(served.variable.empty() ? nullptr : served.variable.c_str());
      // The adapter stand-in a host loads for this link (null where none is beside the program);
      // the CAN bus serves both adapters, so it names the USB-CAN one too.
      json.key("library").string_or_null(served.library.empty() ? nullptr : served.library.c_str());
      if (served.link == "can") {
        const std::string usbcan = standin(EFI_USBCAN_STANDIN_FILE);
        json.key("usbcan_library").string_or_null(usbcan.empty() ? nullptr : usbcan.c_str());
      }
      json.key("example").string(send_example(served, options));
      output.line(json.end_object().text());
      continue;
    }
    std::string where = served.entry.empty() ? served.where : served.entry + " -> " + served.where;
    if (served.link == "can") where = "virtual CAN bus on loopback port " + served.where;
    if (served.link == "uart") where += " (the stand-in driver's port 0x3F8)";
    output.line(served.link + std::string(10 - std::min<size_t>(served.link.size(), 9), ' ') + where);
    output.line("          " + send_example(served, options));
    if (served.link == "slcan") {
      Reach redirected = served;
      redirected.flags = EFI_FLAG_PCAN;
      redirected.text.clear();
      redirected.variable = "EFILINK_CAN_ADAPTER=slcan:" + served.text;
      output.line("          " + send_example(redirected, options));
    }
    if (served.link == "can") {
      Reach usbcan = served;
      usbcan.flags = EFI_FLAG_USB_CAN;
      usbcan.library = standin(EFI_USBCAN_STANDIN_FILE);
      output.line("          " + send_example(usbcan, options));
    }
  }
  if (output.json()) {
    Json json;
    json.begin_object().key("event").string("ready").key("device_directory").string(unit.directory());
    output.line(json.end_object().text());
  } else {
    output.line("the model unit is served; Ctrl-C ends it");
  }
}

}  // namespace

int run_unit(Arguments& arguments) {
  for (Arguments probe = arguments; !probe.empty();) {
    const std::string argument = probe.take();
    if (argument == "--help" || argument == "-h") {
      std::fputs(UNIT_HELP, stdout);
      return 0;
    }
  }
  const UnitOptions options = parse(arguments);
  const std::vector<LinkFault> faults = scripted_faults(options);
  // Before any server's thread starts, so that the interrupt reaches this one.
  catch_interrupts();
  Output output(options.json);
  Unit unit(options);
  for (Served& served : unit.served()) {
    // A serial-line adapter on the bus of --can has no server of its own.
    if (!served.server) continue;
    if (options.log)
      served.server->set_observer([&output, link = served.reach.link](const softunit::ExchangeNote& note) {
        output.exchange(link, note);
      });
    for (const LinkFault& fault : faults) served.server->queue_fault(fault);
  }
  announce(unit, options, output);
  wait_for_interrupt();
  return 0;
}

}  // namespace efilink_cli
