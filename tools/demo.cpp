#include <efilink/efilink.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "inspect.h"
#include "json.h"
#include "bus.h"
#include "protocol/status.h"
#include "system.h"
#include "unit.h"

namespace efilink_cli {

const char* const DEMO_HELP =
    "usage: efilink demo [--link <name>|all] [--sim <path>] [--rounds <n>] [--json]\n"
    "\n"
    "Sends every command 0x00-0x57 with well-formed command data through the exports, conversion\n"
    "on, and checks each response against its layout (fixed part, `elements` words placed inside\n"
    "the buffer) and against the software unit's answer. Every link but the simulator's talks to\n"
    "`efilink unit` started as a child process for that link, over the link's real channel\n"
    "(pseudo-terminals, loopback TCP, the virtual CAN bus; device entries in a temporary directory).\n"
    "One link prints one line per exchange; `all` prints one line per link: exchanges that\n"
    "succeeded, responses that decoded, median and 99th-percentile round trip. Exit code 0 when\n"
    "every exchange succeeded and every response decoded, 1 otherwise.\n"
    "\n"
    "  --link <name>  simulator (the default), usb, ethernet, bluetooth, com, uart, pcan, usbcan,\n"
    "                 slcan, or all: every link this build can serve\n"
    "  --sim <path>   another simulator library\n"
    "  --rounds <n>   a soak: every command n times over each link (default 1); the table shows\n"
    "                 the first round, and a line per link counts every exchange, the answers\n"
    "                 that were not the unit's, the exchanges a second and this process's memory\n"
    "                 after the first round and at the end\n"
    "  --json         one JSON object instead of text\n";

namespace {

constexpr uint16_t RESPONSE_CAPACITY = TS_MAX_TRANSFERSTRUCTS_SIZE;

struct Exchange {
  uint8_t command = 0;
  std::string command_layout;
  std::string response_layout;
  uint32_t status = 0;
  size_t bytes_out = 0;
  size_t bytes_in = 0;
  double round_trip_us = 0;
  std::vector<std::string> problems;
  bool succeeded() const { return status == 0; }
  bool decoded() const { return succeeded() && problems.empty(); }
};

Exchange run_one(uint8_t command) {
  Exchange exchange;
  exchange.command = command;
  const efi::CommandLayouts& row = efi::COMMAND_LAYOUTS[command];
  softunit::Bytes data = softunit::well_formed_command_data(command);
  const softunit::Bytes sent = data;
  std::vector<unsigned char> response(RESPONSE_CAPACITY, 0);
  uint16_t received = 0;

  const auto start = std::chrono::steady_clock::now();
  exchange.status = EfiSendCommand(command, data.empty() ? nullptr : data.data(), static_cast<uint16_t>(data.size()),
                                   response.data(), RESPONSE_CAPACITY, &received);
  exchange.round_trip_us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  exchange.bytes_out = data.size();
  exchange.bytes_in = received;

  exchange.command_layout = std::string(row.converts_command ? row.command->name : "-");
  if (row.converts_command && row.command->kinded)
    exchange.command_layout += std::string(" kind ") + std::to_string(sent[efi::KINDED_RECORD_KIND_OFFSET]);
  const Decoded decoded = decode_response(command, response.data(), received);
  exchange.response_layout = layout_label(row.converts_response ? row.response : nullptr, decoded);
  if (!exchange.succeeded()) return exchange;

  exchange.problems = decoded.problems;
  const CommandHeader_TS header{static_cast<uint16_t>(EFI_COMMAND_CODE_BASE + command),
                                static_cast<uint16_t>(sent.size()), RESPONSE_CAPACITY, 0};
  const softunit::Response expected = softunit::Unit().respond(header, sent.data(), sent.size());
  for (std::string& problem : compare_with_model(expected, response.data(), received, decoded))
    exchange.problems.push_back(std::move(problem));
  return exchange;
}

// One link's run: where its unit was, every exchange, what the library said, or why it did not run.
struct LinkRun {
  std::string link;
  std::string unit;  // the simulator library, or the unit program's command line
  std::vector<Exchange> exchanges;
  std::vector<std::string> messages;
  std::string failure;  // the link could not be set up
  std::string skipped;  // this build cannot serve the link
  size_t succeeded() const {
    return static_cast<size_t>(std::count_if(exchanges.begin(), exchanges.end(), [](const Exchange& e) { return e.succeeded(); }));
  }
  size_t decoded() const {
    return static_cast<size_t>(std::count_if(exchanges.begin(), exchanges.end(), [](const Exchange& e) { return e.decoded(); }));
  }
  // The rounds after the first (a soak): exchanges made, those that failed or did not decode, and
  // their time; this process's resident memory after the first round and after the last.
  size_t soak_exchanges = 0;
  size_t soak_wrong = 0;
  double soak_seconds = 0;
  uint64_t memory_kib_first = 0;
  uint64_t memory_kib_last = 0;
  bool ok() const {
    return skipped.empty() && failure.empty() && decoded() == EFI_COMMAND_COUNT && soak_wrong == 0;
  }
  size_t all_exchanges() const { return exchanges.size() + soak_exchanges; }
  size_t all_wrong() const { return exchanges.size() - decoded() + soak_wrong; }
  // Round trips in µs at quantile q (0.5: the median), nearest rank; a median of an even count is
  // the mean of the middle two.
  double round_trip(double q) const {
    std::vector<double> times;
    for (const Exchange& e : exchanges) times.push_back(e.round_trip_us);
    if (times.empty()) return 0;
    std::sort(times.begin(), times.end());
    if (q == 0.5) {
      const size_t middle = times.size() / 2;
      return times.size() % 2 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
    }
    const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(times.size())));
    return times[std::clamp<size_t>(rank, 1, times.size()) - 1];
  }
};

// Every link in the order `all` runs them, with the flag of its CAN adapter where it has one.
struct LinkInfo {
  const char* name;
  const char* unit_option;  // the unit program's option; null for the simulator link
  uint32_t adapter_flag;
  const char* adapter_file;
};
const LinkInfo LINKS[] = {
    {"simulator", nullptr, 0, nullptr},
    {"usb", "--usb", 0, nullptr},
    {"ethernet", "--tcp", 0, nullptr},
    {"bluetooth", "--bluetooth", 0, nullptr},
    {"com", "--com", 0, nullptr},
    {"uart", "--uart", EFI_FLAG_UART_SERIAL, EFI_UART_STANDIN_FILE},
    {"pcan", "--can", EFI_FLAG_PCAN, EFI_PCAN_STANDIN_FILE},
    {"usbcan", "--can", EFI_FLAG_USB_CAN, EFI_USBCAN_STANDIN_FILE},
    {"slcan", "--slcan", 0, nullptr},
};

const LinkInfo* find_link(std::string name) {
  if (name == "sim") name = "simulator";
  if (name == "tcp") name = "ethernet";
  for (const LinkInfo& link : LINKS)
    if (name == link.name) return &link;
  return nullptr;
}

// The COM port number the demo's unit takes; its entry lives in the demo's own device directory.
constexpr unsigned DEMO_COM_PORT = 9;
// And the one the serial-line CAN adapter takes.
constexpr unsigned DEMO_SLCAN_PORT = 8;

// The value of "key" in one flat JSON line of the unit program (a string or a number).
std::optional<std::string> json_field(const std::string& line, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  size_t at = line.find(marker);
  if (at == std::string::npos) return std::nullopt;
  at += marker.size();
  std::string value;
  if (at < line.size() && line[at] == '"') {
    for (++at; at < line.size() && line[at] != '"'; ++at) {
      if (line[at] == '\\' && at + 1 < line.size()) ++at;
      value += line[at];
    }
    return value;
  }
  while (at < line.size() && line[at] != ',' && line[at] != '}') value += line[at++];
  return value == "null" ? std::nullopt : std::optional<std::string>(value);
}

void run_commands(LinkRun& run, bool progress, unsigned rounds) {
  for (unsigned command = 0; command < EFI_COMMAND_COUNT; ++command) {
    if (progress) {
      std::printf("\r%-10s command 0x%02X  %2u of %u", run.link.c_str(), command, command + 1, EFI_COMMAND_COUNT);
      std::fflush(stdout);
    }
    run.exchanges.push_back(run_one(static_cast<uint8_t>(command)));
  }
  if (progress) {
    std::printf("\r%40s\r", "");
    std::fflush(stdout);
  }
  // Later rounds keep counts only, so that what the memory shows is the library's and the link's.
  run.memory_kib_first = resident_kib();
  const auto start = std::chrono::steady_clock::now();
  for (unsigned round = 1; round < rounds; ++round)
    for (unsigned command = 0; command < EFI_COMMAND_COUNT; ++command) {
      ++run.soak_exchanges;
      if (!run_one(static_cast<uint8_t>(command)).decoded()) ++run.soak_wrong;
    }
  run.soak_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.memory_kib_last = resident_kib();
}

LinkRun run_simulator(const std::string& library, bool progress, unsigned rounds) {
  LinkRun run;
  run.link = "simulator";
  run.unit = library;
  LibraryMessages messages;
  const std::string text = "@" + library;
  if (const uint32_t status = EfiInitializeInterfaces(EFI_FLAG_SIMULATOR, text.c_str()); status != 0) {
    run.failure = "cannot start the simulator library " + library + " (status " + std::to_string(status) + ")";
  } else {
    run_commands(run, progress, rounds);
    EfiCloseInterfaces(0);
  }
  run.messages = messages.lines();
  return run;
}

// Starts `efilink unit` for the link, points the library at it and runs every command.
LinkRun run_with_unit(const LinkInfo& link, const std::string& device_directory, unsigned rounds) {
  const std::string_view name = link.name;
  LinkRun run;
  run.link = link.name;
  run.unit = "efilink unit";
  std::string adapter;
  if (link.adapter_file) {
    adapter = executable_directory() + link.adapter_file;
    std::error_code error;
    if (!std::filesystem::exists(adapter, error)) {
      run.skipped = "the stand-in " + adapter + " is not built here";
      return run;
    }
  }
  if (!DEVICE_FILES_BY_PATH && (name == "bluetooth" || name == "com" || name == "uart" || name == "slcan")) {
    run.skipped = "Windows has no such device without a driver";
    return run;
  }
  std::vector<std::string> arguments{"unit", link.unit_option};
  if (name == "ethernet") arguments.push_back("127.0.0.1:0");
  if (name == "com") arguments.push_back(std::to_string(DEMO_COM_PORT));
  if (name == "slcan") arguments.push_back(std::to_string(DEMO_SLCAN_PORT));
  if (DEVICE_FILES_BY_PATH) {
    arguments.push_back("--device-dir");
    arguments.push_back(device_directory);
  }
  arguments.push_back("--json");
  for (size_t i = 1; i < arguments.size(); ++i) run.unit += " " + arguments[i];

  // The bus port is the unit's to choose, not one that this environment names.
  softunit::set_environment(softunit::CAN_BUS_VARIABLE, nullptr);
  const std::unique_ptr<ChildProcess> unit = ChildProcess::start_self(arguments);
  if (!unit) {
    run.failure = "the unit program did not start";
    return run;
  }
  std::optional<std::string> path, flags_text;
  for (std::string line; unit->read_line(line, 10000);) {
    if (json_field(line, "event") == "serving") {
      path = json_field(line, "path");
      flags_text = json_field(line, "flags");
    }
    if (json_field(line, "event") == "ready") break;
  }
  if (!path || !flags_text) {
    run.failure = "the unit program did not say where it serves";
    unit->stop();
    return run;
  }
  uint32_t flags = static_cast<uint32_t>(std::stoul(*flags_text));
  std::string text;
  if (name == "usb" && !DEVICE_FILES_BY_PATH) text = *path;
  if (name == "slcan") text = "COM" + std::to_string(DEMO_SLCAN_PORT);
  if (DEVICE_FILES_BY_PATH) EfiSetDeviceDirectory(device_directory.c_str());
  if (name == "ethernet") {
    const std::string port = path->substr(path->rfind(':') + 1);
    EfiSetEthernetAddress("127.0.0.1", port.c_str());
  }
  if (name == "uart") softunit::set_environment(UART_PORT_VARIABLE, path->c_str());
  if (link.adapter_flag & (EFI_FLAG_PCAN | EFI_FLAG_USB_CAN)) {
    softunit::set_environment(softunit::CAN_BUS_VARIABLE, path->c_str());
    flags = link.adapter_flag;
  }
  if (link.adapter_flag) EfiSetAdapterLibrary(link.adapter_flag, adapter.c_str());

  LibraryMessages messages;
  // The Bluetooth link prints its progress on standard output; it does not belong in the table.
  hold_standard_output(true);
  uint32_t status = EfiInitializeInterfaces(flags, text.empty() ? nullptr : text.c_str());
  // The UART-driver link's handshake agrees on conversion (a unit slow to answer gets three tries).
  // The COM-port link's succeeds only with a unit that refuses conversion, so it is left out there.
  uint32_t connected = name == "com" ? 0 : 1;
  for (int tries = 0; status == 0 && connected != 0 && tries < 3; ++tries) connected = EfiConnectCommandResponseInterface();
  if (status == 0 && connected == 0) run_commands(run, false, rounds);
  EfiCloseInterfaces(EFI_CLOSE_ALL_PORTS);
  hold_standard_output(false);
  if (status != 0) {
    char failure[96];
    std::snprintf(failure, sizeof failure, "initialising the link with flags 0x%x failed (%s)", flags,
                  efi::status_name(status));
    run.failure = failure;
  } else if (connected != 0) {
    run.failure = std::string("connecting failed (") + efi::status_name(connected) + ")";
  }
  run.messages = messages.lines();

  EfiSetDeviceDirectory(nullptr);
  EfiSetEthernetAddress(nullptr, nullptr);
  if (link.adapter_flag) EfiSetAdapterLibrary(link.adapter_flag, nullptr);
  if (const int ended = unit->stop(); ended != 0)
    run.messages.push_back("the unit program ended with " + std::to_string(ended));
  return run;
}

std::string microseconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

void print_problems(const LinkRun& run, const char* prefix) {
  if (!run.failure.empty()) std::printf("%s%s\n", prefix, run.failure.c_str());
  for (const Exchange& e : run.exchanges) {
    if (!e.succeeded()) std::printf("%s0x%02X: %s (0x%08x)\n", prefix, e.command, efi::status_name(e.status), e.status);
    for (const std::string& problem : e.problems) std::printf("%s0x%02X: %s\n", prefix, e.command, problem.c_str());
  }
  for (const std::string& line : run.messages) std::printf("%slibrary: %s\n", prefix, line.c_str());
}

// One line for a soak's rounds, nothing for a single round.
void print_soak(const LinkRun& run, const char* prefix) {
  if (run.soak_exchanges == 0) return;
  std::printf("%s%zu exchanges, %zu wrong or failed, %.0f exchanges/s after the first round; memory %llu KiB "
              "after the first round, %llu KiB at the end\n",
              prefix, run.all_exchanges(), run.all_wrong(),
              run.soak_seconds > 0 ? static_cast<double>(run.soak_exchanges) / run.soak_seconds : 0.0,
              static_cast<unsigned long long>(run.memory_kib_first), static_cast<unsigned long long>(run.memory_kib_last));
}

void print_table(const LinkRun& run) {
  std::printf("efilink demo: every command over the %s link (%s)\n\n", run.link.c_str(), run.unit.c_str());
  std::printf("%-5s %-27s %-27s %-6s %5s %5s %8s  %s\n", "cmd", "command layout", "response layout", "status",
              "out", "in", "rtt \xC2\xB5s", "decoded");
  for (const Exchange& e : run.exchanges) {
    const std::string status = e.status == 0 ? "OK" : efi::status_name(e.status);
    std::printf("0x%02X  %-27s %-27s %-6s %5zu %5zu %7.1f  %s\n", e.command, e.command_layout.c_str(),
                e.response_layout.c_str(), status.c_str(), e.bytes_out, e.bytes_in, e.round_trip_us,
                e.decoded() ? "yes" : "NO");
  }
  print_problems(run, "");
  std::printf("\n%zu of %zu exchanges succeeded, %zu of %zu responses decoded as their layouts say; "
              "round trip median %s \xC2\xB5s, 99th percentile %s \xC2\xB5s\n",
              run.succeeded(), run.exchanges.size(), run.decoded(), run.exchanges.size(),
              microseconds(run.round_trip(0.5)).c_str(), microseconds(run.round_trip(0.99)).c_str());
  print_soak(run, "soak: ");
}

void print_links(const std::vector<LinkRun>& runs) {
  std::printf("efilink demo: every command 0x00-0x57 over every link this build has, each against the\n"
              "software unit in a process of its own (the simulator library in this one)\n\n");
  std::printf("link       succeeded   decoded  median \xC2\xB5s     p99 \xC2\xB5s\n");
  size_t links = 0, failed = 0;
  for (const LinkRun& run : runs) {
    if (!run.skipped.empty()) {
      std::printf("%-10s not run: %s\n", run.link.c_str(), run.skipped.c_str());
      continue;
    }
    ++links;
    failed += !run.ok();
    std::printf("%-10s %6zu/%zu %6zu/%zu %10s %10s%s\n", run.link.c_str(), run.succeeded(), size_t{EFI_COMMAND_COUNT},
                run.decoded(), size_t{EFI_COMMAND_COUNT}, microseconds(run.round_trip(0.5)).c_str(),
                microseconds(run.round_trip(0.99)).c_str(), run.ok() ? "" : "  FAILED");
  }
  for (const LinkRun& run : runs)
    if (run.skipped.empty()) print_soak(run, (run.link + " soak: ").c_str());
  for (const LinkRun& run : runs)
    if (!run.ok() && run.skipped.empty()) print_problems(run, (run.link + " ").c_str());
  std::printf("\n%zu links, %zu of them with every exchange succeeded and every response decoded\n", links,
              links - failed);
}

void exchanges_json(Json& json, const LinkRun& run) {
  json.key("exchanges").begin_array();
  for (const Exchange& e : run.exchanges) {
    json.begin_object()
        .key("command")
        .number(uint64_t{e.command})
        .key("command_layout")
        .string_or_null(e.command_layout == "-" ? nullptr : e.command_layout.c_str())
        .key("response_layout")
        .string_or_null(e.response_layout == "-" ? nullptr : e.response_layout.c_str())
        .key("status")
        .number(uint64_t{e.status})
        .key("status_name")
        .string(efi::status_name(e.status))
        .key("bytes_out")
        .number(uint64_t{e.bytes_out})
        .key("bytes_in")
        .number(uint64_t{e.bytes_in})
        .key("round_trip_us")
        .number(e.round_trip_us)
        .key("decoded")
        .boolean(e.decoded())
        .key("problems")
        .begin_array();
    for (const std::string& problem : e.problems) json.string(problem);
    json.end_array().end_object();
  }
  json.end_array();
}

void link_json(Json& json, const LinkRun& run) {
  json.key("link").string(run.link).key(run.link == "simulator" ? "library" : "unit").string(run.unit);
  json.key("skipped").string_or_null(run.skipped.empty() ? nullptr : run.skipped.c_str());
  if (!run.skipped.empty()) return;
  json.key("failure").string_or_null(run.failure.empty() ? nullptr : run.failure.c_str());
  exchanges_json(json, run);
  json.key("succeeded").number(uint64_t{run.succeeded()}).key("decoded").number(uint64_t{run.decoded()});
  json.key("median_round_trip_us").number(run.round_trip(0.5));
  json.key("p99_round_trip_us").number(run.round_trip(0.99));
  if (run.soak_exchanges != 0) {
    json.key("soak").begin_object();
    json.key("exchanges").number(uint64_t{run.all_exchanges()}).key("wrong").number(uint64_t{run.all_wrong()});
    json.key("exchanges_per_second").number(run.soak_seconds > 0 ? static_cast<double>(run.soak_exchanges) / run.soak_seconds : 0.0);
    json.key("memory_kib_first_round").number(run.memory_kib_first).key("memory_kib_end").number(run.memory_kib_last);
    json.end_object();
  }
  json.key("messages").begin_array();
  for (const std::string& message : run.messages) json.string(message);
  json.end_array().key("ok").boolean(run.ok());
}

}  // namespace

int run_demo(Arguments& arguments) {
  std::string library, link_name = "simulator";
  bool json = false;
  unsigned rounds = 1;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--help" || argument == "-h") {
      std::fputs(DEMO_HELP, stdout);
      return 0;
    } else if (argument == "--sim") {
      library = arguments.value_of("--sim");
    } else if (argument == "--link") {
      link_name = arguments.value_of("--link");
      if (link_name != "all" && !find_link(link_name)) throw UsageError("demo: no link is called '" + link_name + "'");
    } else if (argument == "--json") {
      json = true;
    } else if (argument == "--rounds") {
      rounds = static_cast<unsigned>(parse_number(arguments.value_of("--rounds"), 100000000, "--rounds"));
      if (rounds == 0) throw UsageError("demo: --rounds wants at least 1");
    } else {
      throw UsageError("demo: unexpected argument '" + argument + "'");
    }
  }
  if (library.empty()) library = bundled_simulator_path();

  std::vector<const LinkInfo*> links;
  if (link_name == "all")
    for (const LinkInfo& link : LINKS) links.push_back(&link);
  else
    links.push_back(find_link(link_name));

  // The unit programs' device entries go into a directory of the demo's own.
  namespace fs = std::filesystem;
  const fs::path device_directory = fs::temp_directory_path() / ("efilink-demo-" + std::to_string(process_id()));
  const bool progress = !json && stdout_is_terminal();
  std::vector<LinkRun> runs;
  for (const LinkInfo* link : links)
    runs.push_back(link->unit_option ? run_with_unit(*link, device_directory.string(), rounds)
                                     : run_simulator(library, progress, rounds));
  std::error_code ignored;
  fs::remove_all(device_directory, ignored);

  bool ok = true;
  for (const LinkRun& run : runs) ok = ok && (run.ok() || (!run.skipped.empty() && link_name == "all"));
  if (json) {
    Json out;
    out.begin_object();
    if (link_name == "all") {
      out.key("links").begin_array();
      for (const LinkRun& run : runs) {
        out.begin_object();
        link_json(out, run);
        out.end_object();
      }
      out.end_array().key("ok").boolean(ok);
    } else {
      link_json(out, runs.front());
    }
    print_json(out.end_object());
  } else if (link_name == "all") {
    print_links(runs);
  } else if (!runs.front().skipped.empty()) {
    std::printf("efilink demo: the %s link is not run: %s\n", runs.front().link.c_str(), runs.front().skipped.c_str());
  } else {
    print_table(runs.front());
  }
  return ok ? 0 : 1;
}

}  // namespace efilink_cli
