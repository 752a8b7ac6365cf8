#include "platform/device_directory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace efi::platform {

DeviceLookup find_in_device_directory(const std::string& directory, const char* class_guid, uint32_t index,
                                      char* path, size_t path_size) {
  const std::string class_directory = directory + "/" + class_guid;
  std::vector<std::string> members;
  std::error_code error;
  for (std::filesystem::directory_iterator it(class_directory, error), end; !error && it != end; it.increment(error))
    members.push_back(it->path().filename().string());
  std::sort(members.begin(), members.end());
  if (index >= members.size()) return {DeviceLookupStep::enumerate, static_cast<uint32_t>(ENOENT), true};

  const std::string member = class_directory + "/" + members[index];
  if (member.size() + 1 > path_size) {
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
