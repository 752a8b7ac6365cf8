// The machine-wide interface lock and the shared list of units, with real second processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/process_state.h"
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif
#include "platform/device_interface.h"
#include "platform/fault.h"
#include "platform/named_objects.h"
#include "test_process.h"
#include "test_support.h"
#include "transports/usb/interface_lock.h"
#include "transports/usb/usb_link.h"

namespace efi {
namespace {

namespace fs = std::filesystem;
using List = std::vector<unsigned char>;

struct Entry {
  std::string path;
  uint32_t owner;
};

// Decodes a list, checking the layout of every entry and that all bytes after the last are 0.
std::vector<Entry> entries_of(const List& list) {
  std::vector<Entry> entries;
  size_t at = 0;
  for (;;) {
    uint32_t size, owner;
    std::memcpy(&size, &list[at], 4);
    if (size == 0) break;
    std::memcpy(&owner, &list[at + 4], 4);
    const std::string path(reinterpret_cast<const char*>(&list[at + 9]));
    EXPECT_EQ(size, path.size() + 12);
    EXPECT_EQ(list[at + 8], 0) << "entry_flag";
    EXPECT_EQ(list[at + size - 2], 0);
    EXPECT_EQ(list[at + size - 1], 0);
    entries.push_back({path, owner});
    at += size;
  }
  for (size_t rest = at; rest < list.size(); ++rest)
    if (list[rest] != 0) {
      ADD_FAILURE() << "byte " << rest << " after the list is not 0";
      break;
    }
  return entries;
}

class InterfaceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    on_library_load();
    platform::clear_faults();
    platform::set_named_object_prefix(test::run_unique_prefix().c_str());
    platform::remove_named_objects(USB_MUTEX_NAME, USB_FILE_MAPPING_NAME);
    devices = fs::temp_directory_path() / ("efilink-lock-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(devices);
    fs::create_directories(devices / USB_DEVICE_CLASS);
    platform::set_device_directory(devices.string().c_str());
    set_message_handler(test::MessageLog::handler, &log);
  }
  void TearDown() override {
    on_library_load();
    platform::remove_named_objects(USB_MUTEX_NAME, USB_FILE_MAPPING_NAME);
    platform::set_named_object_prefix(nullptr);
    platform::set_device_directory(nullptr);
    platform::clear_faults();
    std::error_code ignored;
    fs::remove_all(devices, ignored);
  }

  void attach(const std::string& name) { std::ofstream(devices / USB_DEVICE_CLASS / name).put('\0'); }
  void detach(const std::string& name) { fs::remove(devices / USB_DEVICE_CLASS / name); }
  std::string unit_path(const std::string& name) const {
    return devices.string() + "/" + USB_DEVICE_CLASS + "/" + name;
  }

  std::vector<Entry> query() {
    List list(USB_DEVICE_LIST_SIZE, 0xAB);
    EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 0u);
    return entries_of(list);
  }

  // A second host process on this run's objects.
  static std::unique_ptr<test::ChildProcess> start_worker(const std::vector<std::string>& arguments) {
    std::vector<std::string> with_prefix{test::run_unique_prefix()};
    with_prefix.insert(with_prefix.end(), arguments.begin(), arguments.end());
    return std::make_unique<test::ChildProcess>(test::program_path("lock_worker"), with_prefix);
  }

  int run_worker(const std::vector<std::string>& arguments, int timeout_ms = 10000) {
    auto worker = start_worker(arguments);
    if (!worker->started()) return -1;
    int code = -1;
    if (!worker->wait(timeout_ms, code)) return -2;
    return code;
  }

  // True when another process can take and give back the lock within `timeout_ms`.
  bool lock_is_free(int timeout_ms) { return run_worker({"lock-once"}, timeout_ms) == 0; }

  fs::path devices;
  test::MessageLog log;
};

TEST_F(InterfaceLock, ExportsDoNothingUntilCalledWithTheUsbBit) {
  List list(USB_DEVICE_LIST_SIZE);
  EXPECT_EQ(lock_interface(0), 1u);
  EXPECT_EQ(unlock_interface(0), 1u);
  EXPECT_EQ(query_interface(0, list.data()), 1u);
  EXPECT_EQ(query_and_lock_interface(0, list.data()), 1u);
  EXPECT_EQ(update_interface(0, list.data()), 1u);
  EXPECT_EQ(release_interface_lock(0, list.data()), 1u);
  EXPECT_TRUE(log.messages.empty());
  // Once installed, the entries serve calls without the bit too.
  EXPECT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  EXPECT_EQ(unlock_interface(0), 0u);
}

TEST_F(InterfaceLock, UnlockInAProcessThatNeverLockedFails) {
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 1u);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"USB_ReleaseInterfaceLock error ... G_USB_MutexHandle == NULL!"});
}

TEST_F(InterfaceLock, FirstQueryListsEveryUnitWithoutOwner) {
  attach("unit-b");
  attach("unit-a");
  const auto entries = query();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].path, unit_path("unit-a"));
  EXPECT_EQ(entries[1].path, unit_path("unit-b"));
  EXPECT_EQ(entries[0].owner, NO_OWNER);
  EXPECT_EQ(entries[1].owner, NO_OWNER);
  // The enumeration ends on a failed lookup, which reports itself like any other.
  EXPECT_EQ(log.texts(), std::vector<std::string>{"GetDevicePath Error: SetupDiEnumDeviceInterfaces failed"});
  log.messages.clear();
  enable_error_messages(0);
  query();
  EXPECT_TRUE(log.messages.empty());
  enable_error_messages(1);
}

TEST_F(InterfaceLock, NoUnitGivesAnAllZeroList) {
  List list(USB_DEVICE_LIST_SIZE, 0xAB);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_EQ(list, List(USB_DEVICE_LIST_SIZE, 0));
}

TEST_F(InterfaceLock, OwnerMarksFollowTheirPathAcrossProcesses) {
  attach("unit-a");
  attach("unit-b");
  ASSERT_EQ(query().size(), 2u);
  ASSERT_EQ(run_worker({"set-owner", devices.string(), "unit-b", "42"}), 0);

  auto entries = query();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].owner, NO_OWNER);
  EXPECT_EQ(entries[1].owner, 42u);

  // A unit that goes away leaves the list; a new one arrives without owner; both marks of two
  // marked units are carried, each by its own path.
  detach("unit-a");
  attach("unit-c");
  ASSERT_EQ(run_worker({"set-owner", devices.string(), "unit-c", "7"}), 0);
  entries = query();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].path, unit_path("unit-b"));
  EXPECT_EQ(entries[0].owner, 42u);
  EXPECT_EQ(entries[1].path, unit_path("unit-c"));
  EXPECT_EQ(entries[1].owner, 7u);
}

TEST_F(InterfaceLock, UpdateInAProcessThatNeverQueriedChangesNothing) {
  attach("unit-a");
  ASSERT_EQ(query().size(), 1u);
  EXPECT_EQ(run_worker({"update-unqueried"}), 0);
  const auto entries = query();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].owner, NO_OWNER);
}

TEST_F(InterfaceLock, HoldsCountUpAndDownOnTheCallingThread) {
  List list(USB_DEVICE_LIST_SIZE);
  ASSERT_EQ(query_and_lock_interface(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_FALSE(lock_is_free(300));
  ASSERT_EQ(release_interface_lock(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_TRUE(lock_is_free(10000));

  // Recursive: a holder can query and update without blocking itself, and must unlock as often.
  ASSERT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  ASSERT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_EQ(update_interface(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  EXPECT_FALSE(lock_is_free(300));
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  EXPECT_TRUE(lock_is_free(10000));
}

// The named mutex lives while some process holds a handle to it; this one opens it first so that
// the abandoned mutex is still there when the holder is gone.
TEST_F(InterfaceLock, KilledHolderIsRecoveredByTheNextLocker) {
  ASSERT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  ASSERT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  const std::string ready = (devices / "holder-ready").string();
  auto holder = start_worker({"hold", ready});
  ASSERT_TRUE(holder->started());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(ready) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(ready)) << "the holder never took the lock";
  holder->kill();

  EXPECT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"WaitForSingleObject G_USB_MutexHandle failed WAIT_ABANDONED"});
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  EXPECT_TRUE(lock_is_free(10000));
}

TEST_F(InterfaceLock, HolderThatEndsWithoutUnlockingLeavesAnAbandonedLock) {
  ASSERT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  ASSERT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  ASSERT_EQ(run_worker({"hold-and-exit"}), 0);
  EXPECT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"WaitForSingleObject G_USB_MutexHandle failed WAIT_ABANDONED"});
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
}

TEST_F(InterfaceLock, ThreeProcessesHammeringLoseNoMarkAndNeverDeadlock) {
  for (const char* unit : {"unit-0", "unit-1", "unit-2"}) attach(unit);
  ASSERT_EQ(query().size(), 3u);
  std::vector<std::unique_ptr<test::ChildProcess>> workers;
  for (const char* unit : {"unit-0", "unit-1", "unit-2"})
    workers.push_back(start_worker({"hammer", devices.string(), "3000", unit}));
  for (auto& worker : workers) {
    ASSERT_TRUE(worker->started());
    int code = -1;
    ASSERT_TRUE(worker->wait(60000, code)) << "a hammering process is stuck";
    EXPECT_EQ(code, 0);
  }
  for (const auto& entry : query()) EXPECT_NE(entry.owner, NO_OWNER) << entry.path;
}

TEST_F(InterfaceLock, FailuresOfTheNamedObjectsReportAndReleaseTheLock) {
  List list(USB_DEVICE_LIST_SIZE);
  platform::inject_fault(platform::FaultPoint::named_mutex_open, 0, 1, 5);
  EXPECT_EQ(lock_interface(EFI_FLAG_USB), 1u);
  EXPECT_EQ(query_and_lock_interface(EFI_FLAG_USB, list.data()), 0u) << "the fault was used up";
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);

  platform::inject_fault(platform::FaultPoint::shared_memory_open, 0, 1, 12);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 1u);
  EXPECT_TRUE(lock_is_free(10000));

  platform::inject_fault(platform::FaultPoint::shared_memory_map, 0, 1, 8);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 1u);
  EXPECT_TRUE(lock_is_free(10000));

  EXPECT_EQ(log.texts(), (std::vector<std::string>{"CreateMutex or OpenMutex failed",
                                               "GetDevicePath Error: SetupDiEnumDeviceInterfaces failed",
                                               "CreateFileMapping failed GetLastError = 0000000c",
                                               "G_USB_FileMappingBuffer == NULL Error"}));
}

TEST_F(InterfaceLock, UpdateAfterAFailedViewCopiesNothing) {
  attach("unit-a");
  ASSERT_EQ(query().size(), 1u);
  List list(USB_DEVICE_LIST_SIZE);
  platform::inject_fault(platform::FaultPoint::shared_memory_map, 0, 1, 8);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 1u);
  List marked(USB_DEVICE_LIST_SIZE, 0xEE);
  EXPECT_EQ(update_interface(EFI_FLAG_USB, marked.data()), 0u);
  EXPECT_EQ(release_interface_lock(EFI_FLAG_USB, marked.data()), 0u) << "the extra unlock's outcome is not examined";
  EXPECT_TRUE(lock_is_free(10000));
  const auto entries = query();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].owner, NO_OWNER);
}

TEST_F(InterfaceLock, FailedClassLookupGivesAnEmptyList) {
  attach("unit-a");
  platform::inject_fault(platform::FaultPoint::device_enumerate, 0, 1, 2);
  EXPECT_TRUE(query().empty());
  EXPECT_EQ(log.texts(), std::vector<std::string>{"GetDevicePath Error: SetupDiGetClassDevs failed"});
}

TEST_F(InterfaceLock, ListStopsWhileAnEntryAndTheEndWordStillFit) {
  // Names long enough that each entry takes about 250 bytes: only some of 40 units fit.
  const size_t name_length = 240 - unit_path("").size();
  for (int i = 0; i < 40; ++i) {
    std::string name = std::to_string(100 + i);
    attach(name + std::string(name_length - name.size(), 'x'));
  }
  const auto entries = query();
  const size_t entry_size = unit_path("").size() + name_length + 12;
  EXPECT_EQ(entries.size(), (USB_DEVICE_LIST_SIZE - 4) / entry_size);
  EXPECT_LT(entries.size(), 40u);
}

// A process that died while setting the objects up left them empty, or sized but unmarked; the
// next opener completes them at once instead of waiting for a setup that never ends.
TEST_F(InterfaceLock, HalfMadeObjectsAreCompletedByTheNextOpener) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows makes a named object whole or not at all";
#else
  for (off_t size : {off_t{0}, off_t{16}}) {
    on_library_load();
    platform::remove_named_objects(USB_MUTEX_NAME, USB_FILE_MAPPING_NAME);
    for (const char* name : {USB_MUTEX_NAME, USB_FILE_MAPPING_NAME}) {
      const int fd = shm_open(("/" + test::run_unique_prefix() + name).c_str(), O_RDWR | O_CREAT, 0666);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(ftruncate(fd, size), 0);
      close(fd);
    }
    attach("unit-a");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(query().size(), 1u) << "size " << size;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(lock_is_free(10000));
  }
#endif
}

}  // namespace
}  // namespace efi
