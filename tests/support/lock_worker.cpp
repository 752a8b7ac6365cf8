// A second host process for the interface-lock tests. It runs the library's lock operations the
// way a host does, on the machine-wide objects under the test run's prefix, and reports through
// its exit code; one still running after <limit> ms ends with 5:
//   lock_worker <prefix> <limit> lock-once                      lock and unlock
//   lock_worker <prefix> <limit> hold-and-exit                  lock, then end without unlocking
//   lock_worker <prefix> <limit> hold-and-crash                 lock, then die as a killed process does
//   lock_worker <prefix> <limit> set-owner <dir> <name> <n>     mark unit <name> as owned by n
//   lock_worker <prefix> <limit> update-unqueried               update without ever querying
//   lock_worker <prefix> <limit> hammer <dir> <unit> <ms>       query/update/release in a loop,
//                                                               checking its own mark
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

// Where the owner word of the entry whose path ends in `name` lies, or nullptr.
unsigned char* owner_of(List& list, const std::string& name) {
  uint32_t size = 0;
  for (size_t at = 0; at + 4 <= list.size() && (std::memcpy(&size, &list[at], 4), size != 0); at += size) {
    const std::string path(reinterpret_cast<const char*>(&list[at + efi::DEVICE_LIST_PATH_OFFSET]));
    if (path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0)
      return &list[at + 4];
  }
  return nullptr;
}

int hammer(const std::string& unit, int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  List list(efi::USB_DEVICE_LIST_SIZE);
  for (uint32_t round = 1; std::chrono::steady_clock::now() < end; ++round) {
    if (efi::query_and_lock_interface(EFI_FLAG_USB, list.data()) || !owner_of(list, unit)) return 2;
    std::memcpy(owner_of(list, unit), &round, 4);
    if (efi::release_interface_lock(EFI_FLAG_USB, list.data())) return 2;
    if (efi::query_interface(EFI_FLAG_USB, list.data()) || !owner_of(list, unit)) return 2;
    if (std::memcmp(owner_of(list, unit), &round, 4) != 0) {
      std::fprintf(stderr, "owner mark of %s lost in round %u\n", unit.c_str(), round);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 64;
  efi::platform::set_named_object_prefix(argv[1]);
  std::thread([limit = std::atoi(argv[2])] {
    std::this_thread::sleep_for(std::chrono::milliseconds(limit));
    std::_Exit(5);
  }).detach();
  efi::on_library_load();
  efi::enable_error_messages(0);
  const std::string command = argv[3];
  List list(efi::USB_DEVICE_LIST_SIZE);
  if (command == "lock-once") return efi::lock_interface(EFI_FLAG_USB) || efi::unlock_interface(EFI_FLAG_USB) ? 2 : 0;
  if (command == "hold-and-exit") return efi::lock_interface(EFI_FLAG_USB) ? 2 : 0;
  if (command == "hold-and-crash") std::_Exit(efi::lock_interface(EFI_FLAG_USB) ? 2 : 0);
  if (command == "update-unqueried") return static_cast<int>(efi::update_interface(EFI_FLAG_USB, List(list.size(), 0xEE).data()));
  if (argc < 7) return 64;
  efi::platform::set_device_directory(argv[4]);
  if (command == "set-owner") {
    if (efi::query_interface(EFI_FLAG_USB, list.data())) return 2;
    const uint32_t owner = static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 0));
    if (!owner_of(list, argv[5])) return 1;
    std::memcpy(owner_of(list, argv[5]), &owner, 4);
    return efi::update_interface(EFI_FLAG_USB, list.data()) ? 2 : 0;
  }
  if (command == "hammer") return hammer(argv[5], std::atoi(argv[6]));
  std::fprintf(stderr, "lock_worker: unknown command\n");
  return 64;
}
