// The simulator link through the exports: the order of calls into a simulator library, its
// results, append playback, close, and release of the library at unload. The minimum delay of
// every command is checked by the host's demo test, which times all 88.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_support.h"

namespace efi::test {
namespace {

// The call log of a test simulator library, read through a second load of it: the loader hands
// back the module the bridge already holds. Reading it clears it.
std::string simulator_log(const std::string& variant) {
  const platform::Module module = platform::load_module(test_simulator_path(variant).c_str());
  auto read = reinterpret_cast<const char* (*)()>(platform::find_symbol(module, "TestSimulatorLog"));
  auto reset = reinterpret_cast<void (*)()>(platform::find_symbol(module, "TestSimulatorReset"));
  if (!read || !reset) return "<no log>";
  const std::string log = read();
  reset();
  return log;
}

class SimulatorBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library.loaded());
    library.set_message_handler(MessageLog::handler, &log);
  }
  uint32_t initialize(const std::string& variant) {
    text = std::string("@").append(test_simulator_path(variant));
    return library.initialize(EFI_FLAG_SIMULATOR, text.c_str());
  }
  // Command 0x05 without data, into an 8-byte buffer; `received` starts at 0x55.
  uint32_t send() {
    received = 0x55;
    return library.send_command(5, nullptr, 0, response, 8, &received);
  }
  HostLibrary library;
  MessageLog log;
  std::string text;
  unsigned char response[8] = {};
  uint16_t received = 0;
};

TEST_F(SimulatorBridge, CompleteLibraryIsStartedWithTheWholeTextAndAnswersCommands) {
  simulator_log("complete");
  ASSERT_EQ(initialize("complete"), 0u);
  unsigned char command[4] = {1, 2, 3, 4};
  // The library claims unit status 7; the bridge reports success whatever the simulator put there.
  EXPECT_EQ(library.send_command(5, command, 4, response, 8, &received), 0u);
  EXPECT_EQ(received, 4);
  EXPECT_EQ(std::string(response, response + 4), std::string("\x01\x02\x03\x04"));
  EXPECT_EQ(library.append_playback("abcdef", 6), 0x1006u);
  EXPECT_EQ(library.connect(), 0u);
  // Conversion is off for the simulator: command 0x05's 32-bit field arrives in host order.
  EXPECT_EQ(simulator_log("complete"), "start(" + text + ");command(cd05,0,01020304);append(6);");
  EXPECT_TRUE(log.messages.empty());
}

TEST_F(SimulatorBridge, CloseReleasesTheLibraryAndLaterCallsFail) {
  ASSERT_EQ(initialize("complete"), 0u);
  EXPECT_EQ(library.close(0), 0u);
  EXPECT_EQ(send(), 1u);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"EfiSendCommand SendCommandReceiveResponse failed return_status = 00000001"});
  EXPECT_EQ(received, 0x55);
  EXPECT_EQ(library.append_playback("x", 1), 1u);
  EXPECT_EQ(library.close(0), 1u) << "nothing left to release";
  // Initialising again loads and starts the library again.
  EXPECT_EQ(initialize("complete"), 0u);
  EXPECT_EQ(send(), 0u);
}

// A library without a command processor is started but fails every command; one without append
// playback works otherwise; one without a start function is refused and never called. A library
// that is missing, or no text at all, fails quietly.
TEST_F(SimulatorBridge, IncompleteOrMissingLibraryAnswersAsItsExportsAllow) {
  const struct {
    const char* variant;
    uint32_t initialised, send, append;
  } cases[] = {{"no_processor", 1, 1, 0x1003}, {"no_append", 0, 0, 1}, {"no_start", 1, 0, 0}};
  library.enable_error_messages(0);
  for (const auto& c : cases) {
    simulator_log(c.variant);
    EXPECT_EQ(initialize(c.variant), c.initialised) << c.variant;
    const bool started = std::string(c.variant) != "no_start";
    EXPECT_EQ(simulator_log(c.variant), started ? "start(" + text + ");" : "") << c.variant;
    if (!started) continue;
    EXPECT_EQ(send(), c.send) << c.variant;
    EXPECT_EQ(library.append_playback("abc", 3), c.append) << c.variant;
    EXPECT_EQ(library.close(0), 0u) << c.variant;
  }
  library.enable_error_messages(1);
  EXPECT_EQ(library.initialize(EFI_FLAG_SIMULATOR, "@no-such-simulator-library"), 1u);
  EXPECT_EQ(library.initialize(EFI_FLAG_SIMULATOR, ""), 1u);
  EXPECT_EQ(library.initialize(EFI_FLAG_SIMULATOR, nullptr), 1u);
  EXPECT_TRUE(log.messages.empty());
}

TEST(LibraryLifetime, UnloadClosesTheSelectedLinkAndReleasesTheSimulator) {
  const std::string trace = module_path("simulator-unload-trace.txt");
  std::remove(trace.c_str());
#if defined(_WIN32)
  _putenv_s("EFI_TEST_SIM_TRACE", trace.c_str());
#else
  setenv("EFI_TEST_SIM_TRACE", trace.c_str(), 1);
#endif
  {
    HostLibrary library;
    const std::string text = std::string("@").append(test_simulator_path("no_append"));
    ASSERT_EQ(library.initialize(EFI_FLAG_SIMULATOR, text.c_str()), 0u);
    EXPECT_TRUE(library.unload());
  }
  EXPECT_EQ(file_text(trace), "unloaded\n") << "the simulator library was not released at unload";
  std::remove(trace.c_str());

  // A library that never selected a link unloads without calling anything.
  HostLibrary idle;
  EXPECT_TRUE(idle.unload());
}

}  // namespace
}  // namespace efi::test
