#include "platform/device_interface.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fault.h"

namespace efi::platform {

namespace {
const char* const DEFAULT_DEVICE_DIRECTORY = "/run/efilink";
std::string device_directory = DEFAULT_DEVICE_DIRECTORY;
}  // namespace

void set_device_directory(const char* directory) {
  device_directory = directory ? directory : DEFAULT_DEVICE_DIRECTORY;
}

DeviceLookup find_device_interface(const char* class_guid, uint32_t index, char* path, size_t path_size) {
  uint32_t error = 0;
  if (take_fault(FaultPoint::device_enumerate, error)) return {DeviceLookupStep::class_list, error, true};

  const std::string class_directory = device_directory + "/" + class_guid;
  std::vector<std::string> members;
  if (DIR* directory = opendir(class_directory.c_str())) {
    while (const dirent* entry = readdir(directory)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        members.emplace_back(entry->d_name);
    }
    closedir(directory);
  }
  std::sort(members.begin(), members.end());
  if (index >= members.size()) return {DeviceLookupStep::enumerate, static_cast<uint32_t>(ENOENT), true};

  const std::string member = class_directory + "/" + members[index];
  if (member.size() + 1 > path_size) {
    // Truncated like a conversion that did not fit.
    if (path_size) {
      std::memcpy(path, member.data(), path_size - 1);
      path[path_size - 1] = '\0';
    }
    return {DeviceLookupStep::convert, static_cast<uint32_t>(ENAMETOOLONG), true};
  }
  std::memcpy(path, member.c_str(), member.size() + 1);
  return {DeviceLookupStep::none, 0, false};
}

}  // namespace efi::platform
