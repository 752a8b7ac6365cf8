#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "convert/layouts.h"
#include "json.h"

namespace efilink_cli {

const char* const LAYOUTS_HELP =
    "usage: efilink layouts [command] [--json]\n"
    "\n"
    "Without a command: the converter table (command and response layout of every command\n"
    "0x00-0x57) and a description of each layout. With a command: its row and its layouts,\n"
    "and for a KindedRecord_TS every kind.\n"
    "\n"
    "  --json   one JSON object: \"commands\" (command, command_layout, response_layout; null\n"
    "           where the data travel unconverted) and \"layouts\" (name, fixed_size, data_start,\n"
    "           fields16, fields32, arrays with descriptor and elements_word; a KindedRecord_TS\n"
    "           also kind_byte and kinds)\n";

namespace {

uint32_t fixed_part(const efi::Layout& layout) {
  return layout.has_arrays() ? layout.data_start : layout.fixed_size();
}

std::string offsets(const efi::OffsetList& list) {
  std::string text;
  for (uint16_t k : list) text += (text.empty() ? "" : ", ") + std::to_string(k);
  return text;
}

// One layout in a few lines under its title: fields, descriptors with their `elements` words,
// data area. Built as a string of any length, so no line is ever cut.
std::string describe_layout(const efi::Layout& layout, const std::string& title, const std::string& indent) {
  std::string text = indent + title + ": fixed part " + std::to_string(fixed_part(layout)) + " bytes";
  if (layout.has_arrays()) text += ", data area from " + std::to_string(layout.data_start);
  text += "\n";
  if (!layout.words.empty()) text += indent + "  16-bit fields at " + offsets(layout.words) + "\n";
  if (!layout.longs.empty()) text += indent + "  32-bit fields at " + offsets(layout.longs) + "\n";
  if (layout.has_arrays()) {
    std::string arrays;
    for (uint16_t k : layout.arrays)
      arrays += (arrays.empty() ? "" : ", ") + std::to_string(k) + " (elements word at " +
                std::to_string(efi::array_pointer_word(k)) + ")";
    text += indent + "  arrays at " + arrays + "\n";
  }
  return text;
}

void describe(const efi::Layout& layout) {
  std::fputs(describe_layout(layout, layout.name, "  ").c_str(), stdout);
  if (!layout.kinded) return;
  std::printf("    %s by kind (kind byte at %zu; kinds %zu to 255 read as kind 0):\n", layout.name,
              efi::KINDED_RECORD_KIND_OFFSET, efi::KINDED_RECORD_KIND_COUNT);
  for (unsigned kind = 0; kind < efi::KINDED_RECORD_KIND_COUNT; ++kind)
    std::fputs(
        describe_layout(efi::kinded_layout(static_cast<uint8_t>(kind)), "kind " + std::to_string(kind), "      ").c_str(),
        stdout);
}

void print_row(unsigned command) {
  const efi::CommandLayouts& row = efi::COMMAND_LAYOUTS[command];
  std::printf("0x%02X  %-29s %s\n", command, row.converts_command ? row.command->name : "-",
              row.converts_response ? row.response->name : "-");
}

void offsets_json(Json& json, const efi::OffsetList& list) {
  json.begin_array();
  for (uint16_t k : list) json.number(uint64_t{k});
  json.end_array();
}

// The members of one layout's object (the caller opens and closes it).
void layout_members(Json& json, const efi::Layout& layout) {
  json.key("fixed_size").number(uint64_t{fixed_part(layout)}).key("data_start");
  if (layout.has_arrays())
    json.number(uint64_t{layout.data_start});
  else
    json.null();
  json.key("fields16");
  offsets_json(json, layout.words);
  json.key("fields32");
  offsets_json(json, layout.longs);
  json.key("arrays").begin_array();
  for (uint16_t k : layout.arrays)
    json.begin_object()
        .key("descriptor")
        .number(uint64_t{k})
        .key("elements_word")
        .number(uint64_t{efi::array_pointer_word(k)})
        .end_object();
  json.end_array();
}

void layout_json(Json& json, const efi::Layout& layout) {
  json.begin_object().key("name").string(layout.name);
  layout_members(json, layout);
  if (layout.kinded) {
    json.key("kind_byte").number(uint64_t{efi::KINDED_RECORD_KIND_OFFSET}).key("kinds").begin_array();
    for (unsigned kind = 0; kind < efi::KINDED_RECORD_KIND_COUNT; ++kind) {
      json.begin_object().key("kind").number(uint64_t{kind});
      layout_members(json, efi::kinded_layout(static_cast<uint8_t>(kind)));
      json.end_object();
    }
    json.end_array();
  }
  json.end_object();
}

void print_layouts_json(const std::vector<unsigned>& commands, const std::vector<const efi::Layout*>& layouts) {
  Json json;
  json.begin_object().key("commands").begin_array();
  for (unsigned n : commands) {
    const efi::CommandLayouts* row = efi::command_layouts(static_cast<uint8_t>(n));
    json.begin_object()
        .key("command")
        .number(uint64_t{n})
        .key("command_layout")
        .string_or_null(row && row->converts_command ? row->command->name : nullptr)
        .key("response_layout")
        .string_or_null(row && row->converts_response ? row->response->name : nullptr)
        .end_object();
  }
  json.end_array().key("layouts").begin_array();
  for (const efi::Layout* layout : layouts) layout_json(json, *layout);
  json.end_array().end_object();
  print_json(json);
}

}  // namespace

int run_layouts(Arguments& arguments) {
  std::optional<uint8_t> command;
  bool json = false;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--help" || argument == "-h") {
      std::fputs(LAYOUTS_HELP, stdout);
      return 0;
    }
    if (argument == "--json") {
      json = true;
    } else if (argument.rfind("--", 0) == 0) {
      throw UsageError("layouts: unknown option '" + argument + "'");
    } else if (command) {
      throw UsageError("layouts: unexpected argument '" + argument + "'");
    } else {
      command = static_cast<uint8_t>(parse_number(argument, 0xFF, "command"));
    }
  }

  // The rows shown, and each layout they name once, in the order first named.
  std::vector<unsigned> commands;
  if (command)
    commands.push_back(*command);
  else
    for (unsigned n = 0; n < efi::COMMAND_LAYOUT_COUNT; ++n) commands.push_back(n);
  std::vector<const efi::Layout*> layouts;
  auto add = [&](const efi::Layout* layout) {
    for (const efi::Layout* known : layouts)
      if (known == layout) return;
    layouts.push_back(layout);
  };
  for (unsigned n : commands)
    if (const efi::CommandLayouts* row = efi::command_layouts(static_cast<uint8_t>(n))) {
      if (row->converts_command) add(row->command);
      if (row->converts_response) add(row->response);
    }

  if (json) {
    print_layouts_json(commands, layouts);
    return 0;
  }
  if (command && !efi::command_layouts(*command)) {
    std::printf("0x%02X has no converter row: its data travel unconverted\n", *command);
    return 0;
  }
  if (!command) std::printf("Converter table: command and response layout of every command (- : not converted)\n\n");
  std::printf("cmd   %-29s %s\n", "command layout", "response layout");
  for (unsigned n : commands) print_row(n);
  std::printf(command ? "\n" : "\nLayouts (offsets in bytes; an array's elements follow in the data area)\n\n");
  for (const efi::Layout* layout : layouts) describe(*layout);
  return 0;
}

}  // namespace efilink_cli
