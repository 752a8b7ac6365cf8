#include <efilink/efilink.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "json.h"
#include "transports/usb/device_list.h"

namespace efilink_cli {

const char* const LOCK_HELP =
    "usage: efilink lock query [--device-dir <path>] [--json]\n"
    "       efilink lock update <index> <owner> [--device-dir <path>] [--json]\n"
    "       efilink lock release <index> [--device-dir <path>] [--json]\n"
    "\n"
    "The machine-wide interface lock and the shared list of attached USB units, as every host\n"
    "process on this machine sees it. Each form prints the list afterwards (index, device path,\n"
    "owner mark; '-' for no owner).\n"
    "\n"
    "  query     rebuild the list from the attached units, carrying owner marks over by path\n"
    "  update    mark unit <index> as owned by <owner> (a number) and write the list back\n"
    "  release   take the lock with a fresh list, clear the owner mark of unit <index>, write the\n"
    "            list back and give the lock up\n"
    "  --device-dir <path>   device directory (off Windows; default EFILINK_DEVICE_DIR, else the\n"
    "                        one a running efilink unit of this user made, else /run/efilink)\n"
    "  --json                one JSON object instead of text\n";

namespace {

struct Entry {
  size_t offset;
  std::string path;
  uint32_t owner;
};

std::vector<Entry> entries_of(const std::vector<unsigned char>& list) {
  std::vector<Entry> entries;
  for (size_t at = 0; at + efi::DEVICE_LIST_ENTRY_OVERHEAD <= list.size();) {
    uint32_t size, owner;
    std::memcpy(&size, &list[at], 4);
    if (size < efi::DEVICE_LIST_ENTRY_OVERHEAD || size > list.size() - at) break;
    std::memcpy(&owner, &list[at + 4], 4);
    const char* path = reinterpret_cast<const char*>(&list[at + efi::DEVICE_LIST_PATH_OFFSET]);
    entries.push_back({at, std::string(path, strnlen(path, size - efi::DEVICE_LIST_PATH_OFFSET)), owner});
    at += size;
  }
  return entries;
}

void print_list(const std::vector<unsigned char>& list, bool json) {
  const std::vector<Entry> entries = entries_of(list);
  if (json) {
    Json out;
    out.begin_object().key("units").begin_array();
    for (size_t i = 0; i < entries.size(); ++i) {
      out.begin_object().key("index").number(uint64_t{i}).key("path").string(entries[i].path).key("owner");
      if (entries[i].owner == efi::NO_OWNER)
        out.null();
      else
        out.number(uint64_t{entries[i].owner});
      out.end_object();
    }
    out.end_array().end_object();
    print_json(out);
    return;
  }
  std::printf("index  owner       path\n");
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].owner == efi::NO_OWNER)
      std::printf("%5zu  %-10s  %s\n", i, "-", entries[i].path.c_str());
    else
      std::printf("%5zu  %-10u  %s\n", i, entries[i].owner, entries[i].path.c_str());
  }
  if (entries.empty()) std::printf("(no unit attached)\n");
}

uint32_t* owner_of(std::vector<unsigned char>& list, size_t index) {
  const std::vector<Entry> entries = entries_of(list);
  if (index >= entries.size()) return nullptr;
  return reinterpret_cast<uint32_t*>(&list[entries[index].offset + 4]);
}

}  // namespace

int run_lock(Arguments& arguments) {
  std::string action;
  std::vector<std::string> values;
  std::optional<std::string> device_directory;
  bool json = false;
  while (!arguments.empty()) {
    const std::string argument = arguments.take();
    if (argument == "--help" || argument == "-h") {
      std::fputs(LOCK_HELP, stdout);
      return 0;
    }
    if (argument == "--json") {
      json = true;
    } else if (argument == "--device-dir") {
      device_directory = arguments.value_of(argument);
    } else if (argument.rfind("--", 0) == 0) {
      throw UsageError("lock: unknown option '" + argument + "'");
    } else if (action.empty()) {
      action = argument;
    } else {
      values.push_back(argument);
    }
  }
  const size_t wanted = action == "query" ? 0 : action == "update" ? 2 : action == "release" ? 1 : SIZE_MAX;
  if (wanted == SIZE_MAX) throw UsageError(action.empty() ? "lock: query, update or release?" : "lock: unknown action '" + action + "'");
  if (values.size() != wanted) throw UsageError("lock " + action + ": expected " + std::to_string(wanted) + " value(s)");
  const size_t index = wanted ? parse_number(values[0], 0xFFFF, "unit index") : 0;
  const uint32_t owner = wanted == 2 ? static_cast<uint32_t>(parse_number(values[1], 0xFFFFFFFE, "owner")) : efi::NO_OWNER;

  if (const std::string directory = device_directory_for(device_directory, false); !directory.empty())
    EfiSetDeviceDirectory(directory.c_str());
  LibraryMessages messages;
  // The enumeration of units ends on a failed lookup, which the library reports like any other;
  // that report is no news here.
  EnableErrorMessages(0);
  std::vector<unsigned char> list(EFI_INTERFACE_LIST_SIZE);
  uint32_t status = 0;
  if (action == "query") {
    status = EfiQueryInterface(EFI_FLAG_USB, list.data());
  } else if (action == "update") {
    status = EfiQueryInterface(EFI_FLAG_USB, list.data());
    uint32_t* mark = status == 0 ? owner_of(list, index) : nullptr;
    if (status == 0 && !mark) throw Failure("lock update: no unit " + std::to_string(index));
    if (mark) {
      std::memcpy(mark, &owner, 4);
      status = EfiUpdateInterface(EFI_FLAG_USB, list.data());
      if (status == 0) status = EfiQueryInterface(EFI_FLAG_USB, list.data());
    }
  } else {
    status = EfiQueryAndLockInterface(EFI_FLAG_USB, list.data());
    if (status == 0) {
      uint32_t* mark = owner_of(list, index);
      if (mark) std::memcpy(mark, &owner, 4);
      status = EfiReleaseInterfaceLock(EFI_FLAG_USB, list.data());
      if (!mark) throw Failure("lock release: no unit " + std::to_string(index));
      if (status == 0) status = EfiQueryInterface(EFI_FLAG_USB, list.data());
    }
  }
  if (status != 0) throw Failure("lock " + action + " failed (" + std::to_string(status) + ")");
  print_list(list, json);
  return 0;
}

}  // namespace efilink_cli
