// The machine-wide interface lock and the shared list of units, with real second processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link_test.h"
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif
#include "platform/device_interface.h"
#include "platform/named_objects.h"
#include "test_process.h"
#include "transports/usb/interface_lock.h"
#include "transports/usb/usb_link.h"

namespace efi {
namespace {

namespace fs = std::filesystem;
using List = std::vector<unsigned char>;
using Entries = std::vector<std::pair<std::string, uint32_t>>;  // path, owner

const char* const ENUMERATION_END = "GetDevicePath Error: SetupDiEnumDeviceInterfaces failed";
const char* const ABANDONED = "WaitForSingleObject G_USB_MutexHandle failed WAIT_ABANDONED";

// Decodes a list, checking the layout of every entry and that all bytes after the last are 0.
Entries entries_of(const List& list) {
  Entries entries;
  size_t at = 0;
  for (uint32_t size, owner; std::memcpy(&size, &list[at], 4), size != 0; at += size) {
    std::memcpy(&owner, &list[at + 4], 4);
    const std::string path(reinterpret_cast<const char*>(&list[at + 9]));
    EXPECT_EQ(size, path.size() + 12);
    EXPECT_EQ(list[at + 8], 0) << "entry_flag";
    EXPECT_EQ(list[at + size - 2] | list[at + size - 1], 0);
    entries.emplace_back(path, owner);
  }
  EXPECT_EQ(List(list.begin() + static_cast<long>(at), list.end()), List(list.size() - at, 0)) << "after the list";
  return entries;
}

class InterfaceLock : public test::LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    platform::set_named_object_prefix(test::run_unique_prefix().c_str());
    platform::remove_named_objects(USB_MUTEX_NAME, USB_FILE_MAPPING_NAME);
    fs::remove_all(devices);
    fs::create_directories(devices / USB_DEVICE_CLASS);
    platform::set_device_directory(devices.string().c_str());
  }
  void TearDown() override {
    LinkTest::TearDown();
    platform::remove_named_objects(USB_MUTEX_NAME, USB_FILE_MAPPING_NAME);
    platform::set_named_object_prefix(nullptr);
    platform::set_device_directory(nullptr);
    std::error_code ignored;
    fs::remove_all(devices, ignored);
  }

  void attach(const std::string& name) { std::ofstream(devices / USB_DEVICE_CLASS / name).put('\0'); }
  std::string unit_path(const std::string& name) const {
    return devices.string() + "/" + USB_DEVICE_CLASS + "/" + name;
  }
  Entries query() {
    List list(USB_DEVICE_LIST_SIZE, 0xAB);
    EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 0u);
    return entries_of(list);
  }

  // A second host process on this run's objects, ended with code 5 after `limit_ms`.
  static int run_worker(std::vector<std::string> arguments, int limit_ms = 20000) {
    arguments.insert(arguments.begin(), {test::run_unique_prefix(), std::to_string(limit_ms)});
    return test::run_program("lock_worker", arguments);
  }
  // True when another process can take and give back the lock within `limit_ms`.
  static bool lock_is_free(int limit_ms = 10000) { return run_worker({"lock-once"}, limit_ms) == 0; }

  const fs::path devices = fs::temp_directory_path() / ("efilink-lock-test-" + test::run_unique_prefix());
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
  // Unlocking in a process that never locked fails; once installed, the entries serve calls
  // without the bit too.
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 1u);
  EXPECT_EQ(log.texts(), Texts{"USB_ReleaseInterfaceLock error ... G_USB_MutexHandle == NULL!"});
  EXPECT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  EXPECT_EQ(unlock_interface(0), 0u);
}

TEST_F(InterfaceLock, QueryListsEveryUnitWithoutOwnerAndNoUnitAsAnAllZeroList) {
  EXPECT_TRUE(query().empty());
  attach("unit-b");
  attach("unit-a");
  EXPECT_EQ(query(), (Entries{{unit_path("unit-a"), NO_OWNER}, {unit_path("unit-b"), NO_OWNER}}));
  // The enumeration ends on a failed lookup, which reports itself like any other.
  EXPECT_EQ(log.texts(), Texts(2, ENUMERATION_END));
  log.messages.clear();
  enable_error_messages(0);
  query();
  EXPECT_TRUE(log.messages.empty());
  enable_error_messages(1);
}

TEST_F(InterfaceLock, OwnerMarksFollowTheirPathAcrossProcesses) {
  attach("unit-a");
  attach("unit-b");
  ASSERT_EQ(query().size(), 2u);
  ASSERT_EQ(run_worker({"set-owner", devices.string(), "unit-b", "42"}), 0);
  EXPECT_EQ(run_worker({"update-unqueried"}), 0) << "an update without a query changes nothing";
  EXPECT_EQ(query(), (Entries{{unit_path("unit-a"), NO_OWNER}, {unit_path("unit-b"), 42}}));

  // A unit that goes away leaves the list; a new one arrives without owner; both marks of two
  // marked units are carried, each by its own path.
  fs::remove(devices / USB_DEVICE_CLASS / "unit-a");
  attach("unit-c");
  ASSERT_EQ(run_worker({"set-owner", devices.string(), "unit-c", "7"}), 0);
  EXPECT_EQ(query(), (Entries{{unit_path("unit-b"), 42}, {unit_path("unit-c"), 7}}));
}

TEST_F(InterfaceLock, HoldsCountUpAndDownOnTheCallingThread) {
  List list(USB_DEVICE_LIST_SIZE);
  ASSERT_EQ(query_and_lock_interface(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_FALSE(lock_is_free(300));
  ASSERT_EQ(release_interface_lock(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_TRUE(lock_is_free());

  // Recursive: a holder can query and update without blocking itself, and must unlock as often.
  ASSERT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  ASSERT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_EQ(update_interface(EFI_FLAG_USB, list.data()), 0u);
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  EXPECT_FALSE(lock_is_free(300));
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  EXPECT_TRUE(lock_is_free());
}

// A holder that ends without unlocking, by returning or by dying at once with no clean-up of any
// kind (as a killed one does), leaves an abandoned lock that the next locker recovers. The named
// mutex lives while some process holds a handle to it; this one opens it first so that the
// abandoned mutex is still there when the holder is gone.
TEST_F(InterfaceLock, HolderThatEndsWithoutUnlockingLeavesAnAbandonedLock) {
  ASSERT_EQ(lock_interface(EFI_FLAG_USB), 0u);
  ASSERT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
  for (const char* ending : {"hold-and-exit", "hold-and-crash"}) {
    log.messages.clear();
    ASSERT_EQ(run_worker({ending}), 0) << ending;
    EXPECT_EQ(lock_interface(EFI_FLAG_USB), 0u);
    EXPECT_EQ(log.texts(), Texts{ABANDONED}) << ending;
    EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);
    EXPECT_TRUE(lock_is_free());
  }
}

TEST_F(InterfaceLock, ThreeProcessesHammeringLoseNoMarkAndNeverDeadlock) {
  const char* const units[] = {"unit-0", "unit-1", "unit-2"};
  for (const char* unit : units) attach(unit);
  ASSERT_EQ(query().size(), 3u);
  int codes[3] = {-1, -1, -1};
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i)
    workers.emplace_back([&, i] { codes[i] = run_worker({"hammer", devices.string(), units[i], "3000"}, 60000); });
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(std::vector<int>(codes, codes + 3), std::vector<int>(3, 0)) << "5: a hammering process was stuck";
  for (const auto& [path, owner] : query()) EXPECT_NE(owner, NO_OWNER) << path;
}

TEST_F(InterfaceLock, FailuresOfTheNamedObjectsReportAndReleaseTheLock) {
  List list(USB_DEVICE_LIST_SIZE);
  platform::inject_fault(platform::FaultPoint::named_mutex_open, 0, 1, 5);
  EXPECT_EQ(lock_interface(EFI_FLAG_USB), 1u);
  EXPECT_EQ(query_and_lock_interface(EFI_FLAG_USB, list.data()), 0u) << "the fault was used up";
  EXPECT_EQ(unlock_interface(EFI_FLAG_USB), 0u);

  platform::inject_fault(platform::FaultPoint::shared_memory_open, 0, 1, 12);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 1u);
  EXPECT_TRUE(lock_is_free());

  platform::inject_fault(platform::FaultPoint::shared_memory_map, 0, 1, 8);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 1u);
  EXPECT_TRUE(lock_is_free());

  EXPECT_EQ(log.texts(), (Texts{"CreateMutex or OpenMutex failed", ENUMERATION_END,
                                "CreateFileMapping failed GetLastError = 0000000c", "G_USB_FileMappingBuffer == NULL Error"}));
}

// An update after a failed view copies nothing; a failed class lookup gives an empty list.
TEST_F(InterfaceLock, UpdateAfterAFailedViewCopiesNothing) {
  attach("unit-a");
  ASSERT_EQ(query().size(), 1u);
  List list(USB_DEVICE_LIST_SIZE), marked(USB_DEVICE_LIST_SIZE, 0xEE);
  platform::inject_fault(platform::FaultPoint::shared_memory_map, 0, 1, 8);
  EXPECT_EQ(query_interface(EFI_FLAG_USB, list.data()), 1u);
  EXPECT_EQ(update_interface(EFI_FLAG_USB, marked.data()), 0u);
  EXPECT_EQ(release_interface_lock(EFI_FLAG_USB, marked.data()), 0u) << "the extra unlock's outcome is not examined";
  EXPECT_TRUE(lock_is_free());
  EXPECT_EQ(query(), (Entries{{unit_path("unit-a"), NO_OWNER}}));

  log.messages.clear();
  platform::inject_fault(platform::FaultPoint::device_enumerate, 0, 1, 2);
  EXPECT_TRUE(query().empty());
  EXPECT_EQ(log.texts(), Texts{"GetDevicePath Error: SetupDiGetClassDevs failed"});
}

TEST_F(InterfaceLock, ListStopsWhileAnEntryAndTheEndWordStillFit) {
  // Names long enough that each entry takes about 250 bytes: only some of 40 units fit.
  const size_t name_length = 240 - unit_path("").size();
  for (int i = 100; i < 140; ++i) attach(std::to_string(i) + std::string(name_length - 3, 'x'));
  const size_t entries = query().size();
  EXPECT_EQ(entries, (USB_DEVICE_LIST_SIZE - 4) / (unit_path("").size() + name_length + 12));
  EXPECT_LT(entries, 40u);
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
