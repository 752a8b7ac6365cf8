#include <efilink/efilink.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "inspect.h"
#include "json.h"
#include "protocol/status.h"
#include "unit.h"

namespace efilink_cli {

const char* const SEND_HELP =
    "usage: efilink send --flags <word> [--text <text>] <command> [hex data] [--response-size <n>]\n"
    "                    [--address <host>[:<port>]] [--device-dir <path>] [--adapter-library <path>]\n"
    "                    [--json]\n"
    "\n"
    "Initialises the link that the flag word selects, sends one command and prints the status\n"
    "(name and value), the response's fields and arrays as its layout says, and a hex dump.\n"
    "The command data are given in host order; when the command's layout has arrays, their\n"
    "`elements` words are set to where the placement rule puts them.\n"
    "\n"
    "Exit code 0 when the command succeeded and its response decoded as its layout says;\n"
    "1 when the link did not initialise or the command did not succeed; 2 for bad\n"
    "arguments; 3 when the command succeeded but its response does not decode as its layout says.\n"
    "With --json, standard output carries only the JSON object, whose \"error\" field is null\n"
    "when the command succeeded and decoded and names the failure otherwise; the progress lines\n"
    "some links print go to standard error.\n"
    "\n"
    "  --flags <word>        flag word of EfiInitializeInterfaces, e.g. 0x200 for the simulator\n"
    "  --text <text>         its text; with 0x200 and no text, '@' and the bundled simulator\n"
    "  --response-size <n>   response buffer capacity (default 4088)\n"
    "  --address <host>[:<port>]  where the Ethernet link connects (default: the unit's address)\n"
    "  --device-dir <path>   device directory (off Windows; default EFILINK_DEVICE_DIR, else the\n"
    "                        one a running efilink unit of this user made, else /run/efilink)\n"
    "  --adapter-library <path>  the adapter library the selected CAN or UART-driver link loads\n"
    "  --json                one JSON object instead of text\n";

namespace {

// The command succeeded, but its response is not what its layout says.
constexpr int EXIT_UNDECODED = 3;

struct SendOptions {
  std::optional<uint32_t> flags;
  std::optional<std::string> text;
  std::optional<uint8_t> command;
  std::vector<unsigned char> data;
  bool has_data = false;
  uint16_t response_size = TS_MAX_TRANSFERSTRUCTS_SIZE;
  std::optional<std::string> address;
  std::optional<std::string> device_directory;
  std::optional<std::string> adapter_library;
  bool json = false;
};

// Sets the `elements` words of the command's arrays where the placement rule puts them, as a
// host lays out command data. Returns how many it set.
size_t place_command_arrays(uint8_t command, std::vector<unsigned char>& data) {
  const efi::CommandLayouts* row = efi::command_layouts(command);
  if (!row || !row->converts_command || data.empty()) return 0;
  const efi::Layout& layout = efi::effective_layout(*row->command, data.data(), data.size());
  size_t placed = 0;
  for (const softunit::ArraySpan& span : softunit::array_spans(layout, data.data(), data.size()).arrays) {
    if (!span.offset) continue;
    EfiSetArrayElements(data.data(), span.descriptor, data.data() + *span.offset);
    ++placed;
  }
  return placed;
}

// The link a flag word selects, by the library's precedence; null when it selects none.
const char* selected_link(uint32_t flags) {
  if (flags & EFI_FLAG_SIMULATOR) return "simulator";
  if (flags & EFI_FLAG_ETHERNET) return "Ethernet";
  if (flags & EFI_FLAG_BLUETOOTH) return "Bluetooth";
  if (flags & EFI_FLAG_SLCAN) return "serial-line CAN";
  if (flags & (EFI_FLAG_PCAN | EFI_FLAG_USB_CAN)) {
    // The library's redirection of both vendor adapters' bits to a serial-line adapter.
    const char* adapter = std::getenv("EFILINK_CAN_ADAPTER");
    if (adapter && std::string_view(adapter).starts_with("slcan:")) return "serial-line CAN";
  }
  if (flags & EFI_FLAG_PCAN) return "PCAN";
  if (flags & EFI_FLAG_USB_CAN) return "USB-CAN";
  if (flags & EFI_FLAG_USB) return "USB";
  if (flags & EFI_FLAG_SERIAL_PORT_MASK) {
    if (flags & EFI_FLAG_UART_SERIAL) return "UART-driver serial";
    if (flags & EFI_FLAG_COM_SERIAL) return "COM-port serial";
  }
  return nullptr;
}

std::string hex_word(uint32_t value) {
  char text[sizeof "0x12345678"];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// A status of the library's own by its name; any other value (a link's 1, say) as a number.
std::string status_text(uint32_t status) {
  const std::string name = efi::status_name(status);
  return name == "UNIT_STATUS" || name == "UNKNOWN" ? hex_word(status) : name + " (" + hex_word(status) + ")";
}

std::string link_description(const SendOptions& options) {
  std::string text = std::string("the ") + selected_link(*options.flags) + " link (flag word " + hex_word(*options.flags);
  if (options.text) text += ", text \"" + *options.text + "\"";
  return text + ")";
}

// Initialises the link the options name, then runs its connect step (only the serial links have
// one): a failed initialisation says so and carries the library's messages; a failed connect is
// a note, since the exchange can go ahead without it (the COM-port link's connect succeeds only
// with a unit that refuses conversion, and then conversion stays as initialised).
void open_link(const SendOptions& options, const LibraryMessages& messages, std::vector<std::string>& notes) {
  const uint32_t initialised = EfiInitializeInterfaces(*options.flags, options.text ? options.text->c_str() : nullptr);
  if (initialised != 0) {
    if (!selected_link(*options.flags))
      throw Failure("link initialisation failed: flag word " + hex_word(*options.flags) +
                        " selects no link (0x200, 0x400000, 0x100000, 0x200000, 0x100, 0x20, or 0x2000 or 0x1000 "
                        "with a port number in 0xF0000)",
                    messages.lines());
    throw Failure("link initialisation failed: " + link_description(options) + " returned " + status_text(initialised),
                  messages.lines());
  }
  if (const uint32_t connected = EfiConnectCommandResponseInterface(); connected != 0)
    notes.push_back("EfiConnectCommandResponseInterface returned " + status_text(connected) +
                    "; the command goes ahead with conversion as initialised");
}

void print_text(const SendOptions& options, uint32_t status, const std::vector<unsigned char>& response,
                uint16_t received, const Decoded& decoded, const std::vector<std::string>& notes) {
  const uint8_t command = *options.command;
  const efi::CommandLayouts* row = efi::command_layouts(command);
  std::printf("command   0x%02X (code 0x%04X), %zu bytes of command data\n", command,
              EFI_COMMAND_CODE_BASE + command, options.data.size());
  if (row)
    std::printf("layouts   %s -> %s\n", row->converts_command ? row->command->name : "-",
                row->converts_response ? row->response->name : "-");
  for (const std::string& note : notes) std::printf("note      %s\n", note.c_str());
  std::printf("status    %s (0x%08x)\n", efi::status_name(status), status);
  std::printf("received  %u bytes (buffer %u)\n", received, options.response_size);
  const size_t shown = std::min<size_t>(received, response.size());
  if (status == 0 && decoded.layout) {
    std::printf("response  %s\n", layout_label(row->response, decoded).c_str());
    for (const FieldValue& field : decoded.fields) {
      if (field.width == 16)
        std::printf("  %-4u  16-bit  0x%04x  (%u)\n", field.offset, field.value, field.value);
      else
        std::printf("  %-4u  32-bit  0x%08x  (%u)\n", field.offset, field.value, field.value);
    }
    for (const ArrayView& array : decoded.arrays) {
      std::printf("  %-4u  array   %u elements of %u bytes", array.descriptor, array.element_count,
                  array.element_size);
      if (array.points_at) std::printf(", elements at %+lld", static_cast<long long>(*array.points_at));
      std::printf("\n");
      if (!array.placed || !array.element_count || array.placed.value() + uint64_t{array.element_size} * array.element_count > shown)
        continue;
      constexpr uint32_t SHOWN_ELEMENTS = 8;
      for (uint32_t i = 0; i < array.element_count && i < SHOWN_ELEMENTS; ++i)
        std::printf("        [%u] %s\n", i,
                    hex_string(response.data() + *array.placed + i * array.element_size, array.element_size).c_str());
      if (array.element_count > SHOWN_ELEMENTS)
        std::printf("        ... %u more\n", array.element_count - SHOWN_ELEMENTS);
    }
    for (const std::string& problem : decoded.problems) std::printf("problem   %s\n", problem.c_str());
  }
  if (shown) std::printf("data\n%s", hex_dump(response.data(), shown, "  ").c_str());
}

void print_result_json(const SendOptions& options, uint32_t status, const std::vector<unsigned char>& response,
                       uint16_t received, const Decoded& decoded, const std::vector<std::string>& notes) {
  const uint8_t command = *options.command;
  const efi::CommandLayouts* row = efi::command_layouts(command);
  const size_t shown = std::min<size_t>(received, response.size());
  std::string error;
  if (status != 0)
    error = "EfiSendCommand returned " + status_text(status);
  else if (!decoded.problems.empty())
    error = "the response does not decode as " + layout_label(row->response, decoded) + " says";
  Json json;
  json.begin_object()
      .key("error")
      .string_or_null(error.empty() ? nullptr : error.c_str())
      .key("flags")
      .number(uint64_t{*options.flags})
      .key("command")
      .number(uint64_t{command})
      .key("command_layout")
      .string_or_null(row && row->converts_command ? row->command->name : nullptr)
      .key("response_layout")
      .string_or_null(row && row->converts_response ? row->response->name : nullptr)
      .key("status")
      .number(uint64_t{status})
      .key("status_name")
      .string(efi::status_name(status))
      .key("received_size")
      .number(uint64_t{received})
      .key("decoded")
      .boolean(status == 0 && decoded.problems.empty());
  json.key("kind");
  if (decoded.kind)
    json.number(uint64_t{*decoded.kind});
  else
    json.null();
  json.key("fields").begin_array();
  if (status == 0)
    for (const FieldValue& field : decoded.fields)
      json.begin_object()
          .key("offset")
          .number(uint64_t{field.offset})
          .key("width")
          .number(uint64_t{field.width})
          .key("value")
          .number(uint64_t{field.value})
          .end_object();
  json.end_array().key("arrays").begin_array();
  if (status == 0)
    for (const ArrayView& array : decoded.arrays) {
      json.begin_object()
          .key("descriptor")
          .number(uint64_t{array.descriptor})
          .key("element_size")
          .number(uint64_t{array.element_size})
          .key("element_count")
          .number(uint64_t{array.element_count})
          .key("offset");
      if (array.placed && array.element_count)
        json.number(uint64_t{*array.placed});
      else
        json.null();
      json.key("elements");
      if (array.placed && array.placed.value() + uint64_t{array.element_size} * array.element_count <= shown)
        json.string(hex_string(response.data() + *array.placed, size_t{array.element_size} * array.element_count));
      else
        json.null();
      json.end_object();
    }
  json.end_array().key("problems").begin_array();
  if (status == 0)
    for (const std::string& problem : decoded.problems) json.string(problem);
  json.end_array().key("notes").begin_array();
  for (const std::string& note : notes) json.string(note);
  json.end_array().key("data").string(hex_string(response.data(), shown)).end_object();
  print_json(json);
}

SendOptions parse(Arguments& arguments) {
  SendOptions options;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--flags") {
      options.flags = static_cast<uint32_t>(parse_number(arguments.value_of(argument), UINT32_MAX, "--flags"));
    } else if (argument == "--text") {
      options.text = arguments.value_of(argument);
    } else if (argument == "--response-size") {
      options.response_size =
          static_cast<uint16_t>(parse_number(arguments.value_of(argument), UINT16_MAX, "--response-size"));
    } else if (argument == "--address") {
      options.address = arguments.value_of(argument);
    } else if (argument == "--device-dir") {
      options.device_directory = arguments.value_of(argument);
    } else if (argument == "--adapter-library") {
      options.adapter_library = arguments.value_of(argument);
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
      throw UsageError("send: unknown option '" + argument + "'");
    } else if (!options.command) {
      options.command = static_cast<uint8_t>(parse_number(argument, 0xFF, "command"));
    } else if (!options.has_data) {
      options.data = parse_hex(argument);
      options.has_data = true;
      if (options.data.size() > UINT16_MAX) throw UsageError("command data longer than 65535 bytes");
    } else {
      throw UsageError("send: unexpected argument '" + argument + "'");
    }
  }
  if (!options.flags) throw UsageError("send: --flags is required");
  if (!options.command) throw UsageError("send: the command number is missing");
  if (options.adapter_library && !(*options.flags & (EFI_FLAG_USB_CAN | EFI_FLAG_PCAN | EFI_FLAG_UART_SERIAL)))
    throw UsageError("send: --adapter-library needs a flag word selecting 0x100, 0x200000 or 0x2000");
  return options;
}

}  // namespace

int run_send(Arguments& arguments) {
  if (arguments.asks_for_help()) {
    std::fputs(SEND_HELP, stdout);
    return 0;
  }
  SendOptions options = parse(arguments);
  if (!options.text && (*options.flags & EFI_FLAG_SIMULATOR)) options.text = std::string("@") + bundled_simulator_path();

  std::vector<std::string> notes;
  const efi::CommandLayouts* row = efi::command_layouts(*options.command);
  if (row && row->converts_command) {
    const efi::Layout& layout = efi::effective_layout(*row->command, options.data.data(), options.data.size());
    if (options.data.size() < layout.fixed_size())
      notes.push_back(std::string("command data shorter than the ") + std::to_string(layout.fixed_size()) + " bytes of " +
                      layout.name);
    if (const size_t placed = place_command_arrays(*options.command, options.data))
      notes.push_back(std::to_string(placed) + " elements word(s) of the command data set by placement");
  }

  if (options.json) keep_standard_output_for_json();
  LibraryMessages messages;
  if (options.address) {
    const size_t colon = options.address->rfind(':');
    const std::string host = options.address->substr(0, colon);
    const std::string service = colon == std::string::npos ? "" : options.address->substr(colon + 1);
    EfiSetEthernetAddress(host.c_str(), service.empty() ? nullptr : service.c_str());
  }
  if (const std::string directory = device_directory_for(options.device_directory, false); !directory.empty())
    EfiSetDeviceDirectory(directory.c_str());
  if (options.adapter_library)
    for (uint32_t link : {EFI_FLAG_USB_CAN, EFI_FLAG_PCAN, EFI_FLAG_UART_SERIAL})
      if (*options.flags & link) EfiSetAdapterLibrary(link, options.adapter_library->c_str());

  open_link(options, messages, notes);

  std::vector<unsigned char> response(options.response_size, 0);
  uint16_t received = 0;
  const uint32_t status =
      EfiSendCommand(*options.command, options.data.empty() ? nullptr : options.data.data(),
                     static_cast<uint16_t>(options.data.size()), response.empty() ? nullptr : response.data(),
                     options.response_size, &received);
  EfiCloseInterfaces(EFI_CLOSE_ALL_PORTS);

  const size_t shown = std::min<size_t>(received, response.size());
  const Decoded decoded = decode_response(*options.command, response.data(), shown);
  for (const std::string& line : messages.lines()) notes.push_back("library: " + line);
  if (options.json)
    print_result_json(options, status, response, received, decoded, notes);
  else
    print_text(options, status, response, received, decoded, notes);
  if (status != 0) return 1;
  return decoded.problems.empty() ? 0 : EXIT_UNDECODED;
}

}  // namespace efilink_cli
