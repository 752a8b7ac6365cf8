#pragma once

// What the tests of the links share: a library as just loaded with its messages collected and no
// faults armed, one exchange of patterned command data, and the names of the unit's faults.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "link_server.h"
#include "platform/clock.h"
#include "platform/fault.h"
#include "platform/waiting.h"
#include "test_support.h"

namespace efi::test {

// While it lives, the library's waits and the software unit's timed faults run on one clock that
// skips the time when every wait is idle: a five-second time-out costs a tenth of a second, and
// the waits still end in the order of their deadlines.
class SkipIdleTime {
 public:
  SkipIdleTime() {
    platform::skip_idle_time(true);
    softunit::set_clock(platform::sleep_ms, platform::note_activity);
  }
  ~SkipIdleTime() {
    softunit::set_clock(nullptr, nullptr);
    platform::skip_idle_time(false);
  }
  SkipIdleTime(const SkipIdleTime&) = delete;
  SkipIdleTime& operator=(const SkipIdleTime&) = delete;
};

class LinkTest : public ::testing::Test {
 protected:
  using Bytes = softunit::Bytes;
  using LinkFault = softunit::LinkFault;
  using Kind = LinkFault::Kind;
  using Texts = std::vector<std::string>;

  void SetUp() override { fresh_library(); }
  void TearDown() override {
    close_interfaces(EFI_CLOSE_ALL_PORTS);
    on_library_load();
    platform::clear_faults();
  }
  void fresh_library() {
    on_library_load();
    platform::clear_faults();
    log.messages.clear();
    set_message_handler(MessageLog::handler, &log);
  }

  // Command `code` (0x07 and 0x60 are never converted) with `size` bytes counting up from `first`,
  // into `capacity` bytes of a buffer whose rest is a guard of 0xCC.
  uint32_t send(uint16_t size, uint16_t capacity = 64, uint8_t code = 0x07, unsigned char first = 1) {
    command.resize(size);
    std::iota(command.begin(), command.end(), first);
    response.assign(capacity + 32u, 0xCC);
    received = 0xBEEF;
    return send_command(code, command.data(), size, response.data(), capacity, &received);
  }
  // The command data came back as the response, and nothing past them.
  bool echoed() const {
    return received == command.size() && std::equal(command.begin(), command.end(), response.begin()) &&
           response[command.size()] == 0xCC;
  }
  // A 40-byte exchange with an echoing unit returns its own data.
  void expect_healthy_exchange(const std::string& after) {
    ASSERT_EQ(send(40, 100), 0u) << "after " << after;
    EXPECT_TRUE(echoed()) << "after " << after;
  }
  // A unit that never answers fails the exchange after `at_least_s` but before `below_s` seconds,
  // without busy waiting, and the next exchange is answered.
  void expect_silence_waited_out_idly(softunit::LinkServer& server, double at_least_s, double below_s) {
    enable_error_messages(0);
    server.queue_fault({Kind::silence});
    const double start = seconds_now(), cpu = process_cpu_seconds();
    EXPECT_EQ(send(10), STATUS_CR_READ_FAILED);
    EXPECT_GE(seconds_now() - start, at_least_s);
    EXPECT_LT(seconds_now() - start, below_s);
    EXPECT_LT(process_cpu_seconds() - cpu, 0.25) << "no busy waiting";
    expect_healthy_exchange("silence");
  }

  SkipIdleTime skipping_idle_time;
  MessageLog log;
  Bytes command, response;
  uint16_t received = 0xBEEF;
};

// Runs `open` until it gives 0, at most a second: a named pipe takes its next host a moment after
// the last one left.
template <typename Open>
uint32_t retry_open(Open open) {
  uint32_t status = open();
  for (int attempt = 0; attempt < 100 && status != 0; ++attempt) {
    platform::sleep_ms(10);
    status = open();
  }
  return status;
}

}  // namespace efi::test
