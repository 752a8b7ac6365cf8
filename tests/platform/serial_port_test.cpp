#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/system_error.h"
#include "platform/thread.h"

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
class FarEnd {
 public:
  FarEnd() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~FarEnd() {
    if (master_ >= 0) close(master_);
  }
  std::string skip_reason() const { return path_.empty() ? "no pseudo-terminal available" : ""; }
  const std::string& path() const { return path_; }
  bool send(const std::string& bytes) const {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  std::string receive(size_t size) const {
    std::string bytes;
    pollfd entry{master_, POLLIN, 0};
    char buffer[64];
    while (bytes.size() < size && poll(&entry, 1, 2000) > 0) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
  }
  // The line settings as the far end sees them (a master reports its slave's).
  termios line() const {
    termios settings{};
    tcgetattr(master_, &settings);
    return settings;
  }

 private:
  int master_ = -1;
  std::string path_;
};
constexpr uint32_t TIMED_OUT = ETIMEDOUT;
constexpr uint32_t BUSY = EBUSY;
constexpr const char* SHARED_OPEN = "";
#else
// Wine runs a COM port on any terminal device, so a pair of pseudo-terminals joined by socat
// (started through Wine as a Unix program) gives a port and its far end. Windows has none.
class FarEnd {
 public:
  FarEnd() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) {
      reason_ = "Windows has no pseudo-terminals; COM ports are checked under Wine and natively";
      return;
    }
    if (GetFileAttributesA("Z:\\usr\\bin\\socat") == INVALID_FILE_ATTRIBUTES) {
      reason_ = "socat is not installed: no pseudo-terminal pair for a COM port under Wine";
      return;
    }
    static int count = 0;
    const std::string name =
        "/tmp/efilink-line-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
    // socat keeps the pair until nothing has moved for 3 s (no test here is silent that long).
    std::string command =
        "Z:\\usr\\bin\\socat -T 3 PTY,link=" + name + "-port,raw,echo=0 PTY,link=" + name + "-far,raw,echo=0";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
      reason_ = "socat did not start";
      return;
    }
    path_ = "Z:" + name + "-port";
    const std::string far_path = "Z:" + name + "-far";
    for (int tries = 0; !far_ && tries < 150; ++tries) {
      far_ = open_serial_port(far_path.c_str());
      if (!far_) sleep_ms(20);
    }
    if (!far_) reason_ = "socat made no pseudo-terminal pair";
  }
  std::string skip_reason() const { return reason_; }
  const std::string& path() const { return path_; }
  bool send(const std::string& bytes) const {
    return write_serial(far_, bytes.data(), static_cast<uint32_t>(bytes.size())).count == bytes.size();
  }
  std::string receive(size_t size) const {
    std::string bytes(size, '\0');
    const Transfer read = read_serial(far_, bytes.data(), static_cast<uint32_t>(size), {2000, 200});
    bytes.resize(read.ok ? read.count : 0);
    return bytes;
  }

 private:
  std::string reason_;
  std::string path_;
  SerialPort far_;
};
constexpr uint32_t TIMED_OUT = ERROR_TIMEOUT;
constexpr uint32_t BUSY = ERROR_ACCESS_DENIED;
constexpr const char* SHARED_OPEN = "Wine shares a terminal device whatever the share mode asks";
#endif

constexpr TransferBounds SHORT_BOUNDS{300, 50};

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = other_end.skip_reason(); !reason.empty()) GTEST_SKIP() << reason;
    port = open_serial_port(other_end.path().c_str());
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

TEST_F(SerialPortTest, MovesBytesBothWaysWithinTheirBounds) {
  ASSERT_TRUE(other_end.send("hello"));
  char buffer[16] = {};
  // Asked for more than came: the quiet line ends the read with what arrived.
  const Transfer read = read_serial(port, buffer, sizeof buffer, SHORT_BOUNDS);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(std::string(buffer, read.count), "hello");

  const Transfer written = write_serial(port, "abc", 3, SHORT_BOUNDS);
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.count, 3u);
  EXPECT_EQ(other_end.receive(3), "abc");
}

TEST_F(SerialPortTest, SilentLineTimesOutInAboutItsBound) {
  char buffer[4];
  int64_t start = clock.now();
  const Transfer read = read_serial(port, buffer, sizeof buffer, SHORT_BOUNDS);
  EXPECT_FALSE(read.ok);
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

TEST_F(SerialPortTest, WaitEndsWhenBytesArriveNotAtItsTimeOut) {
  DelayedSend sender{&other_end};
  Thread thread = start_thread(DelayedSend::run, &sender);
  const int64_t start = clock.now();
  EXPECT_EQ(wait_serial_receive(port, 10000), SerialWait::received);
  EXPECT_LT(elapsed_ms(start), 5000.0);
  join_thread(thread);
  // Bytes already waiting end the next wait at once.
  EXPECT_EQ(wait_serial_receive(port, 10000), SerialWait::received);
  EXPECT_EQ(serial_bytes_waiting(port), 4);
}

TEST_F(SerialPortTest, PurgeDropsWaitingInput) {
  ASSERT_TRUE(other_end.send("stale"));
  ASSERT_EQ(wait_serial_receive(port, 2000), SerialWait::received);
  for (int tries = 0; serial_bytes_waiting(port) < 5 && tries < 100; ++tries) sleep_ms(10);
  ASSERT_EQ(serial_bytes_waiting(port), 5);
  ASSERT_TRUE(purge_serial_port(port, true, true));
  EXPECT_EQ(serial_bytes_waiting(port), 0);
  char buffer[8];
  EXPECT_FALSE(read_serial(port, buffer, sizeof buffer, {100, 50}).ok);
}

TEST_F(SerialPortTest, OpensForOneOwnerOnly) {
  if (*SHARED_OPEN) GTEST_SKIP() << SHARED_OPEN;
  EXPECT_FALSE(open_serial_port(other_end.path().c_str()));
  EXPECT_EQ(last_error(), BUSY);
  port.reset();
  EXPECT_TRUE(open_serial_port(other_end.path().c_str()));
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
