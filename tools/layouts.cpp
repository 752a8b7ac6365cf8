#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "convert/layouts.h"
#include "inspect.h"

namespace efilink_cli {

const char* const LAYOUTS_HELP =
    "usage: efilink layouts [command]\n"
    "\n"
    "Without a command: the converter table (command and response layout of every command\n"
    "0x00-0x57) and a description of each layout. With a command: its row and its layouts,\n"
    "and for a KindedRecord_TS every kind.\n";

namespace {

void describe_kinds(const char* indent) {
  std::printf("%sKindedRecord_TS by kind (kind byte at %zu; kinds %zu to 255 read as kind 0):\n", indent,
              efi::KINDED_RECORD_KIND_OFFSET, efi::KINDED_RECORD_KIND_COUNT);
  for (unsigned kind = 0; kind < efi::KINDED_RECORD_KIND_COUNT; ++kind) {
    const std::string label = std::string(indent) + "  kind " + std::to_string(kind) + " ";
    std::string text = describe_layout(efi::kinded_layout(static_cast<uint8_t>(kind)), label.c_str());
    std::fputs(text.c_str(), stdout);
  }
}

void describe(const efi::Layout& layout) {
  if (layout.kinded) {
    std::fputs(describe_layout(layout, "  ").c_str(), stdout);
    describe_kinds("    ");
  } else {
    std::fputs(describe_layout(layout, "  ").c_str(), stdout);
  }
}

void print_row(unsigned command) {
  const efi::CommandLayouts& row = efi::COMMAND_LAYOUTS[command];
  std::printf("0x%02X  %-29s %s\n", command, row.converts_command ? row.command->name : "-",
              row.converts_response ? row.response->name : "-");
}

}  // namespace

int run_layouts(Arguments& arguments) {
  std::optional<uint8_t> command;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--help" || argument == "-h") {
      std::fputs(LAYOUTS_HELP, stdout);
      return 0;
    }
    if (command) throw UsageError("layouts: unexpected argument '" + argument + "'");
    command = static_cast<uint8_t>(parse_number(argument, 0xFF, "command"));
  }

  if (command) {
    const efi::CommandLayouts* row = efi::command_layouts(*command);
    if (!row) {
      std::printf("0x%02X has no converter row: its data travel unconverted\n", *command);
      return 0;
    }
    std::printf("cmd   %-29s %s\n", "command layout", "response layout");
    print_row(*command);
    std::printf("\n");
    if (row->converts_command) describe(*row->command);
    if (row->converts_response && row->response != row->command) describe(*row->response);
    return 0;
  }

  std::printf("Converter table: command and response layout of every command (- : not converted)\n\n");
  std::printf("cmd   %-29s %s\n", "command layout", "response layout");
  for (unsigned n = 0; n < efi::COMMAND_LAYOUT_COUNT; ++n) print_row(n);

  std::printf("\nLayouts (offsets in bytes; an array's elements follow in the data area)\n\n");
  std::vector<const efi::Layout*> seen;
  auto add = [&](const efi::Layout* layout) {
    for (const efi::Layout* known : seen)
      if (known == layout) return;
    seen.push_back(layout);
  };
  for (const efi::CommandLayouts& row : efi::COMMAND_LAYOUTS) {
    if (row.converts_command) add(row.command);
    if (row.converts_response) add(row.response);
  }
  for (const efi::Layout* layout : seen) describe(*layout);
  return 0;
}

}  // namespace efilink_cli
