// A second host process for the interface-lock tests. It runs the library's lock operations the
// way a host does, on the machine-wide objects under the test run's prefix (its first argument),
// and reports through its exit code:
//   lock_worker hold <ready file>             lock, announce, then wait to be killed
//   lock_worker hold-and-exit                 lock and end without unlocking
//   lock_worker lock-once                     lock and unlock
//   lock_worker set-owner <dir> <name> <n>    mark unit <name> as owned by n
//   lock_worker update-unqueried              update without ever querying
//   lock_worker hammer <dir> <ms> <unit>      query/update/release in a loop, checking own mark
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/process_state.h"
#include "platform/device_interface.h"
#include "platform/named_objects.h"
#include "transports/usb/interface_lock.h"

namespace {

using List = std::vector<unsigned char>;

// Offset of the entry whose path ends in `name`, or -1.
long find_entry(const List& list, const std::string& name) {
  for (size_t at = 0; at + 4 <= list.size();) {
    uint32_t size;
    std::memcpy(&size, &list[at], 4);
    if (size == 0) break;
    const std::string path(reinterpret_cast<const char*>(&list[at + efi::DEVICE_LIST_PATH_OFFSET]));
    if (path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0)
      return static_cast<long>(at);
    at += size;
  }
  return -1;
}

uint32_t owner_at(const List& list, long at) {
  uint32_t owner;
  std::memcpy(&owner, &list[at + 4], 4);
  return owner;
}

int hammer(const std::string& unit, int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  List list(efi::USB_DEVICE_LIST_SIZE);
  for (uint32_t round = 1; std::chrono::steady_clock::now() < end; ++round) {
    if (efi::query_and_lock_interface(EFI_FLAG_USB, list.data())) return 2;
    const long at = find_entry(list, unit);
    if (at < 0) return 2;
    std::memcpy(&list[at + 4], &round, 4);
    if (efi::release_interface_lock(EFI_FLAG_USB, list.data())) return 2;
    if (efi::query_interface(EFI_FLAG_USB, list.data())) return 2;
    if (owner_at(list, find_entry(list, unit)) != round) {
      std::fprintf(stderr, "owner mark of %s lost in round %u\n", unit.c_str(), round);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  efi::platform::set_named_object_prefix(argv[1]);
  --argc;
  ++argv;
  efi::on_library_load();
  efi::enable_error_messages(0);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "hold" && argc == 3) {
    if (efi::lock_interface(EFI_FLAG_USB)) return 2;
    if (FILE* ready = std::fopen(argv[2], "w")) std::fclose(ready);
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 3;
  }
  if (command == "hold-and-exit") return efi::lock_interface(EFI_FLAG_USB) ? 2 : 0;
  if (command == "lock-once") {
    if (efi::lock_interface(EFI_FLAG_USB)) return 2;
    return efi::unlock_interface(EFI_FLAG_USB) ? 2 : 0;
  }
  if (command == "set-owner" && argc == 5) {
    efi::platform::set_device_directory(argv[2]);
    List list(efi::USB_DEVICE_LIST_SIZE);
    if (efi::query_interface(EFI_FLAG_USB, list.data())) return 2;
    const long at = find_entry(list, argv[3]);
    if (at < 0) return 1;
    const uint32_t owner = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0));
    std::memcpy(&list[at + 4], &owner, 4);
    return efi::update_interface(EFI_FLAG_USB, list.data()) ? 2 : 0;
  }
  if (command == "update-unqueried") {
    List list(efi::USB_DEVICE_LIST_SIZE, 0xEE);
    return static_cast<int>(efi::update_interface(EFI_FLAG_USB, list.data()));
  }
  if (command == "hammer" && argc == 5) {
    efi::platform::set_device_directory(argv[2]);
    return hammer(argv[4], std::atoi(argv[3]));
  }
  std::fprintf(stderr, "lock_worker: unknown command\n");
  return 64;
}
