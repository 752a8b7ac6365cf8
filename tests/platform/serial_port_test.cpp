#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/system_error.h"
#include "platform/thread.h"
#include "test_process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace efi::platform {
namespace {

#if !defined(_WIN32)
// The far end of the line: the master side of a pseudo-terminal whose slave the port opens.
struct FarEnd {
  FarEnd() {
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) path = ptsname(master);
    if (path.empty()) reason = "no pseudo-terminal available";
  }
  ~FarEnd() { close(master); }
  bool send(const std::string& bytes) const {
    return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  std::string receive(size_t size) const {
    std::string bytes(size, '\0');
    pollfd entry{master, POLLIN, 0};
    const ssize_t got = poll(&entry, 1, 2000) > 0 ? read(master, bytes.data(), size) : 0;
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
  }
  // The line settings as the far end sees them (a master reports its slave's).
  termios line() const {
    termios settings{};
    tcgetattr(master, &settings);
    return settings;
  }

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::string path, reason;
};
constexpr uint32_t TIMED_OUT = ETIMEDOUT;
constexpr uint32_t BUSY = EBUSY;
constexpr const char* SHARED_OPEN = "";
#else
// Wine runs a COM port on any terminal device, so a pair of pseudo-terminals joined by socat
// (started through Wine as a Unix program) gives a port and its far end. Windows has none.
struct FarEnd {
  FarEnd() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) {
      reason = "Windows has no pseudo-terminals; COM ports are checked under Wine and natively";
      return;
    }
    if (GetFileAttributesA("Z:\\usr\\bin\\socat") == INVALID_FILE_ATTRIBUTES) {
      reason = "socat is not installed: no pseudo-terminal pair for a COM port under Wine";
      return;
    }
    static int count = 0;
    const std::string name =
        "/tmp/efilink-line-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
    // socat keeps the pair until nothing has moved for 3 s (no test here is silent that long).
    std::string command =
        "Z:\\usr\\bin\\socat -T 3 PTY,link=" + name + "-port,raw,echo=0 PTY,link=" + name + "-far,raw,echo=0";
    if (test::run_command_line(command, 0) < 0) {
      reason = "socat did not start";
      return;
    }
    path = "Z:" + name + "-port";
    for (int tries = 0; !far_end && tries < 150; ++tries)
      if (!(far_end = open_serial_port(("Z:" + name + "-far").c_str()))) sleep_ms(20);
    if (!far_end) reason = "socat made no pseudo-terminal pair";
  }
  bool send(const std::string& bytes) const {
    return write_serial(far_end, bytes.data(), static_cast<uint32_t>(bytes.size())).count == bytes.size();
  }
  std::string receive(size_t size) const {
    std::string bytes(size, '\0');
    const Transfer read = read_serial(far_end, bytes.data(), static_cast<uint32_t>(size), {2000, 200});
    bytes.resize(read.ok ? read.count : 0);
    return bytes;
  }

  std::string path, reason;
  SerialPort far_end;
};
constexpr uint32_t TIMED_OUT = ERROR_TIMEOUT;
constexpr uint32_t BUSY = ERROR_ACCESS_DENIED;
constexpr const char* SHARED_OPEN = "Wine shares a terminal device whatever the share mode asks";
#endif

constexpr TransferBounds SHORT_BOUNDS{300, 50};

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!other_end.reason.empty()) GTEST_SKIP() << other_end.reason;
    port = open_serial_port(other_end.path.c_str());
    ASSERT_TRUE(port) << last_error();
    SerialSettings settings;
    settings.baud_rate = 115200;
    ASSERT_TRUE(configure_serial_port(port, settings)) << last_error();
  }
  double elapsed_ms(int64_t start) const { return clock.seconds_since(start) * 1000.0; }

  FarEnd other_end;
  SerialPort port;
  Clock clock;
};

// Asked for more than came, a read ends on the quiet line with what arrived; on a silent line a
// read or a wait lasts about its bound.
TEST_F(SerialPortTest, MovesBytesBothWaysWithinTheirBounds) {
  ASSERT_TRUE(other_end.send("hello"));
  char buffer[16] = {};
  const Transfer read = read_serial(port, buffer, sizeof buffer, SHORT_BOUNDS);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(std::string(buffer, read.count), "hello");

  const Transfer written = write_serial(port, "abc", 3, SHORT_BOUNDS);
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.count, 3u);
  EXPECT_EQ(other_end.receive(3), "abc");

  int64_t start = clock.now();
  EXPECT_FALSE(read_serial(port, buffer, 4, SHORT_BOUNDS).ok);
  EXPECT_EQ(last_error(), TIMED_OUT);
  EXPECT_GE(elapsed_ms(start), 250.0);
  EXPECT_LT(elapsed_ms(start), 2000.0);
  start = clock.now();
  EXPECT_EQ(wait_serial_receive(port, 200), SerialWait::timed_out);
  EXPECT_GE(elapsed_ms(start), 150.0);
}

struct DelayedSend {
  const FarEnd* other_end;
  static void run(void* argument) {
    sleep_ms(100);
    static_cast<DelayedSend*>(argument)->other_end->send("wake");
  }
};

// A wait ends when bytes arrive, not at its time-out, and at once for bytes already waiting; a
// purge drops them.
TEST_F(SerialPortTest, WaitEndsWhenBytesArriveAndPurgeDropsThem) {
  DelayedSend sender{&other_end};
  Thread thread = start_thread(DelayedSend::run, &sender);
  const int64_t start = clock.now();
  EXPECT_EQ(wait_serial_receive(port, 10000), SerialWait::received);
  EXPECT_LT(elapsed_ms(start), 5000.0);
  join_thread(thread);
  EXPECT_EQ(wait_serial_receive(port, 10000), SerialWait::received);
  for (int tries = 0; serial_bytes_waiting(port) < 4 && tries < 100; ++tries) sleep_ms(10);
  ASSERT_EQ(serial_bytes_waiting(port), 4);
  ASSERT_TRUE(purge_serial_port(port, true, true));
  EXPECT_EQ(serial_bytes_waiting(port), 0);
  char buffer[8];
  EXPECT_FALSE(read_serial(port, buffer, sizeof buffer, {100, 50}).ok);
}

TEST_F(SerialPortTest, OpensForOneOwnerOnly) {
  if (*SHARED_OPEN) GTEST_SKIP() << SHARED_OPEN;
  EXPECT_FALSE(open_serial_port(other_end.path.c_str()));
  EXPECT_EQ(last_error(), BUSY);
  port.reset();
  EXPECT_TRUE(open_serial_port(other_end.path.c_str()));
}

TEST_F(SerialPortTest, RefusesSettingsOutOfRange) {
  EXPECT_FALSE(configure_serial_port(port, {9600, 9, Parity::none, StopBits::one, Handshake::none}));
  EXPECT_FALSE(configure_serial_port(port, {9600, 8, Parity{5}, StopBits::one, Handshake::none}));
  EXPECT_FALSE(configure_serial_port(port, {9600, 8, Parity::none, StopBits::one, Handshake{3}}));
}

#if !defined(_WIN32)
TEST_F(SerialPortTest, SettingsReachTheLine) {
  constexpr tcflag_t FRAME = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  termios line = other_end.line();
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
  EXPECT_EQ(line.c_cflag & FRAME, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);

  ASSERT_TRUE(configure_serial_port(port, {9600, 8, Parity::none, StopBits::one_and_half, Handshake::hardware}));
  line = other_end.line();
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
  EXPECT_EQ(line.c_cflag & FRAME, static_cast<tcflag_t>(CS8 | CSTOPB | CRTSCTS));

  ASSERT_TRUE(configure_serial_port(port, {57600, 8, Parity::none, StopBits::one, Handshake::software}));
  line = other_end.line();
  EXPECT_EQ(line.c_cflag & FRAME, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));

  // A rate without a name of its own here is refused.
  EXPECT_FALSE(configure_serial_port(port, {12345, 8, Parity::none, StopBits::one, Handshake::none}));
  EXPECT_EQ(last_error(), static_cast<uint32_t>(EINVAL));
  // A pseudo-terminal has 8 data bits and no parity only: a line that drops a setting refuses it.
  EXPECT_FALSE(configure_serial_port(port, {9600, 7, Parity::even, StopBits::one, Handshake::none}));
  EXPECT_EQ(last_error(), static_cast<uint32_t>(EINVAL));
}
#endif

}  // namespace
}  // namespace efi::platform
