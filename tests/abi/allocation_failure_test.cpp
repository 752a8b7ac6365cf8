// Every extension export with an allocation refused at each point of its work in turn: the host
// lives on, told of the failure by the status where the export returns one, and the library
// serves the next call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>

#include "test_support.h"

namespace {

// Every allocation of this program, and natively of the library it loads, comes through the
// operators below. While `refuse_at` is set, the allocation of that number (counted from 0 on
// this thread) is refused: std::bad_alloc, or null where the caller asked for no exception.
thread_local long allocations = 0;
thread_local long refuse_at = -1;
thread_local bool refused = false;

// Null for the refused allocation, as for an exhausted heap.
void* try_allocate(std::size_t size) noexcept {
  const bool refuse = refuse_at >= 0 && allocations++ == refuse_at;
  refused = refused || refuse;
  return refuse ? nullptr : std::malloc(size ? size : 1);
}

void* allocate(std::size_t size) {
  if (void* memory = try_allocate(size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return try_allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return try_allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace efi::test {
namespace {

TEST(ExtensionExports, SurviveARefusedAllocationAnywhere) {
  if (platform::modules_are_dlls())
    GTEST_SKIP() << "the DLL carries its own C++ runtime, so its allocations never reach this program's operator new";
  HostLibrary library;
  ASSERT_TRUE(library.loaded());
  // Texts too long to be kept without an allocation.
  const std::string prefix = temp_path("allocation-");
  const std::string directory = prefix + "devices", adapter = prefix + "adapter-library", trace = prefix + "trace.log";
  const std::string host = "efilink-allocation-test.invalid", service = "a-service-name-of-some-length";
  MessageLog log;
  char version[64];

  const struct {
    const char* name;
    bool allocates;   // with the texts above
    bool has_status;  // else it returns nothing
    std::function<uint32_t()> call;
  } exports[] = {
      {"EfiSetDeviceDirectory", true, false, [&] { return library.set_device_directory(directory.c_str()), 0u; }},
      {"EfiSetEthernetAddress", true, false,
       [&] { return library.set_ethernet_address(host.c_str(), service.c_str()), 0u; }},
      {"EfiSetMessageHandler", false, false, [&] { return library.set_message_handler(MessageLog::handler, &log), 0u; }},
      {"EnableErrorMessages", false, false, [&] { return library.enable_error_messages(1), 0u; }},
      {"EfiSetAdapterLibrary", true, true, [&] { return library.set_adapter_library(EFI_FLAG_PCAN, adapter.c_str()); }},
      {"EfiSetTraceFile", true, true, [&] { return library.set_trace_file(trace.c_str()); }},
      {"EfiGetLibraryVersion", false, true, [&] { return library.library_version(version, sizeof version); }},
  };
  for (const auto& entry : exports) {
    long refusals = 0;
    for (long at = 0; at < 1000; ++at) {
      allocations = 0;
      refused = false;
      refuse_at = at;
      const uint32_t status = entry.call();
      refuse_at = -1;
      if (!refused) {
        EXPECT_EQ(status, 0u) << entry.name << " with every allocation granted";
        break;
      }
      ++refusals;
      if (entry.has_status) {
        EXPECT_NE(status, 0u) << entry.name << " with allocation " << at << " refused";
      }
    }
    EXPECT_EQ(refusals > 0, entry.allocates) << entry.name << ": " << refusals << " allocations refused in turn";
  }

  EXPECT_TRUE(std::filesystem::exists(trace));
  EXPECT_EQ(library.send_command(5, nullptr, 0, nullptr, 0, nullptr), STATUS_CR_NOT_INITIALIZED);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"EfiSendCommand Error ! No interface initialized"});
  EXPECT_EQ(library.set_trace_file(nullptr), 0u);
  std::filesystem::remove(trace);
}

}  // namespace
}  // namespace efi::test
