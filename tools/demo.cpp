#include <efilink/efilink.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "inspect.h"
#include "json.h"
#include "protocol/status.h"
#include "system.h"
#include "unit.h"

namespace efilink_cli {

const char* const DEMO_HELP =
    "usage: efilink demo [--sim <path>] [--json]\n"
    "\n"
    "Selects the simulator link with the simulator library that comes with efilink, sends every\n"
    "command 0x00-0x57 with well-formed command data, and prints one line per exchange: the\n"
    "command and response layouts, the status, bytes out and in, and the round trip. Each\n"
    "response is checked against its layout (fixed part, `elements` words placed inside the\n"
    "buffer) and against the software unit's answer. Exit code 0 when every exchange succeeded\n"
    "and every response decoded as its layout says, 1 otherwise.\n"
    "\n"
    "  --sim <path>  another simulator library\n"
    "  --json        one JSON object instead of the table\n";

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

void print_table(const std::vector<Exchange>& exchanges, const std::string& library) {
  std::printf("efilink demo: every command over the simulator link (%s)\n\n", library.c_str());
  std::printf("%-5s %-27s %-27s %-6s %5s %5s %8s  %s\n", "cmd", "command layout", "response layout", "status",
              "out", "in", "rtt \xC2\xB5s", "decoded");
  for (const Exchange& e : exchanges) {
    const std::string status = e.status == 0 ? "OK" : efi::status_name(e.status);
    std::printf("0x%02X  %-27s %-27s %-6s %5zu %5zu %7.1f  %s\n", e.command, e.command_layout.c_str(),
                e.response_layout.c_str(), status.c_str(), e.bytes_out, e.bytes_in, e.round_trip_us,
                e.decoded() ? "yes" : "NO");
  }
  for (const Exchange& e : exchanges) {
    if (!e.succeeded())
      std::printf("0x%02X: %s (0x%08x)\n", e.command, efi::status_name(e.status), e.status);
    for (const std::string& problem : e.problems) std::printf("0x%02X: %s\n", e.command, problem.c_str());
  }
}

void print_json(const std::vector<Exchange>& exchanges, const std::string& library, size_t succeeded,
                size_t decoded, const std::vector<std::string>& messages) {
  Json json;
  json.begin_object().key("link").string("simulator").key("library").string(library);
  json.key("exchanges").begin_array();
  for (const Exchange& e : exchanges) {
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
  json.key("succeeded").number(uint64_t{succeeded}).key("decoded").number(uint64_t{decoded});
  json.key("messages").begin_array();
  for (const std::string& message : messages) json.string(message);
  json.end_array();
  json.key("ok").boolean(decoded == exchanges.size()).end_object();
  std::printf("%s\n", json.text().c_str());
}

}  // namespace

int run_demo(Arguments& arguments) {
  std::string library;
  bool json = false;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--help" || argument == "-h") {
      std::fputs(DEMO_HELP, stdout);
      return 0;
    } else if (argument == "--sim") {
      library = arguments.value_of("--sim");
    } else if (argument == "--json") {
      json = true;
    } else {
      throw UsageError("demo: unexpected argument '" + argument + "'");
    }
  }
  if (library.empty()) library = bundled_simulator_path();

  LibraryMessages messages;
  const std::string text = "@" + library;
  if (const uint32_t status = EfiInitializeInterfaces(EFI_FLAG_SIMULATOR, text.c_str()); status != 0) {
    std::fprintf(stderr, "efilink: cannot start the simulator library %s (status %u)\n", library.c_str(), status);
    return 1;
  }

  const bool progress = !json && stdout_is_terminal();
  std::vector<Exchange> exchanges;
  for (unsigned command = 0; command < EFI_COMMAND_COUNT; ++command) {
    if (progress) {
      std::printf("\rcommand 0x%02X  %2u of %u", command, command + 1, EFI_COMMAND_COUNT);
      std::fflush(stdout);
    }
    exchanges.push_back(run_one(static_cast<uint8_t>(command)));
  }
  if (progress) std::printf("\r%30s\r", "");
  EfiCloseInterfaces(0);

  size_t succeeded = 0, decoded = 0;
  double total_us = 0;
  for (const Exchange& e : exchanges) {
    succeeded += e.succeeded();
    decoded += e.decoded();
    total_us += e.round_trip_us;
  }
  if (json) {
    print_json(exchanges, library, succeeded, decoded, messages.lines());
  } else {
    print_table(exchanges, library);
    for (const std::string& line : messages.lines()) std::printf("library: %s\n", line.c_str());
    std::printf("\n%zu of %zu exchanges succeeded, %zu of %zu responses decoded as their layouts say; "
                "mean round trip %.1f \xC2\xB5s\n",
                succeeded, exchanges.size(), decoded, exchanges.size(), total_us / static_cast<double>(exchanges.size()));
  }
  return decoded == exchanges.size() ? 0 : 1;
}

}  // namespace efilink_cli
