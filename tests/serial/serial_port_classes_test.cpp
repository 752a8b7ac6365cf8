// The port classes on a serial line whose far end the test holds, and the receive ring.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <thread>
#include <string>
#include <vector>

#include "channel.h"
#include "platform/clock.h"
#include "transports/serial/serial_port_classes.h"

namespace efi {
namespace {

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(CSerialBuffer, HoldsAtMost998InOrderAcrossTheEndOfTheRing) {
  CSerialBuffer ring;
  std::vector<unsigned char> stream(1500), taken(1000);
  std::iota(stream.begin(), stream.end(), 0);
  ring.Append(stream.data(), 5);
  ring.Clear();
  EXPECT_EQ(ring.Count(), 0);
  ring.Append(stream.data(), 999);
  EXPECT_EQ(ring.Count(), 998) << "the 999th byte is dropped";
  ASSERT_EQ(ring.Take(taken.data(), 500), 500);
  EXPECT_TRUE(std::equal(taken.begin(), taken.begin() + 500, stream.begin()));
  // The room left runs over the end of the ring and on from its start: full again, across the end.
  ring.Append(stream.data() + 998, 502);
  EXPECT_EQ(ring.Count(), 998);
  ASSERT_EQ(ring.Take(taken.data(), 1000), 998);
  EXPECT_TRUE(std::equal(taken.begin(), taken.begin() + 998, stream.begin() + 500));
  EXPECT_EQ(ring.Take(taken.data(), 1), 0);
  EXPECT_EQ(ring.Take(taken.data(), 0), 0);
}

TEST(CSerialBuffer, WaitEndsWhenBytesArrive) {
  CSerialBuffer ring;
  const platform::Clock clock;
  const int64_t start = clock.now();
  std::thread appender([&] {
    platform::sleep_ms(50);
    const unsigned char bytes[4] = {};
    ring.Append(bytes, 4);
  });
  EXPECT_TRUE(ring.WaitFor(4, 5000));
  EXPECT_LT(clock.seconds_since(start), 2.0);
  appender.join();
  EXPECT_FALSE(ring.WaitFor(5, 30));
}

class CSerialOnALine : public ::testing::Test {
 protected:
  void SetUp() override {
    line = softunit::DeviceEndpoint::create_serial_line();
    if (!line) GTEST_SKIP() << "no pseudo-terminal for a serial line here";
    far = line->wait_for_host(0);
  }
  std::wstring device() const { return wide(line->device_path()); }
  std::unique_ptr<softunit::DeviceEndpoint> line;
  softunit::Stream* far = nullptr;
};

TEST_F(CSerialOnALine, OpenTwiceClosedPortAndArguments) {
  CSerial port;
  EXPECT_EQ(port.Close(), 0) << "closing a closed port";
  EXPECT_EQ(port.Setup(9600, 8, 0, 0), SERIAL_INVALID_HANDLE);
  EXPECT_EQ(port.GetBaudrate(), -1);
  EXPECT_EQ(port.GetEventMask(), 0u);
  EXPECT_EQ(port.GetLastError(), SERIAL_INVALID_HANDLE);
  char byte = 0;
  EXPECT_EQ(port.Read(&byte, 1, nullptr, nullptr, SERIAL_INFINITE), SERIAL_INVALID_HANDLE);
  EXPECT_EQ(port.Write(&byte, 1, nullptr, nullptr, SERIAL_INFINITE), SERIAL_INVALID_HANDLE);

  ASSERT_EQ(port.Open(device(), 0, 0, false), 0);
  EXPECT_EQ(port.Open(device(), 0, 0, false), SERIAL_ALREADY_INITIALIZED);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.GetBaudrate(), 57600);
  EXPECT_EQ(port.GetDataBits(), 8);
  EXPECT_EQ(port.GetEventMask(), DEFAULT_EVENT_MASK);
  // Not opened for overlapped I/O: a time-out or a caller's event is an invalid function.
  uint32_t count = 7;
  EXPECT_EQ(port.Read(&byte, 1, &count, nullptr, 10), SERIAL_INVALID_FUNCTION);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(port.WaitEvent(nullptr, 10), SERIAL_INVALID_FUNCTION);

  struct Mode {
    uint32_t mode;
    int32_t status, reported;
  } modes[] = {{1, 0, 1}, {3, SERIAL_INVALID_ARGUMENT, 1}, {2, 0, 2}, {0, 0, 0}};
  for (const Mode& m : modes) {
    EXPECT_EQ(port.SetupHandshaking(m.mode), m.status) << m.mode;
    EXPECT_EQ(port.GetHandshaking(), m.reported) << m.mode;
  }
  EXPECT_EQ(port.SetupReadTimeouts(2), SERIAL_INVALID_ARGUMENT);
  EXPECT_EQ(port.SetEventChar('\n', true), 0);
  EXPECT_EQ(port.GetEventMask(), DEFAULT_EVENT_MASK | EV_RXFLAG);
  EXPECT_EQ(port.Close(), 0);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(CSerialOnALine, BlockingReadTimesOutAndMovesBytes) {
  CSerial port;
  ASSERT_EQ(port.Open(device(), 0, 0, true), 0);
  ASSERT_EQ(port.SetupReadTimeouts(CSerial::ReadTimeoutBlocking), 0);
  char buffer[8] = {};
  uint32_t count = 0;
  const platform::Clock clock;
  const int64_t start = clock.now();
  EXPECT_EQ(port.Read(buffer, 4, &count, nullptr, 100), SERIAL_TIMEOUT);
  EXPECT_GE(clock.seconds_since(start), 0.09);
  EXPECT_EQ(count, 0u);

  ASSERT_TRUE(far->write_all("ping", 4));
  EXPECT_EQ(port.Read(buffer, 4, &count, nullptr, 2000), 0);
  EXPECT_EQ(std::string(buffer, count), "ping");
  EXPECT_EQ(port.WriteText("pong", &count, nullptr, 2000), 0);
  EXPECT_EQ(count, 4u);
  char echoed[4];
  EXPECT_TRUE(softunit::read_exact(*far, echoed, 4, 2000));
  EXPECT_EQ(std::string(echoed, 4), "pong");
}

TEST_F(CSerialOnALine, ListenerMovesArrivingBytesIntoTheRing) {
  CSerialBuffer ring;
  CSerialMFC port(ring);
  ASSERT_EQ(port.Open(device(), 0, 0, 0, 0), 0);
  std::string text(250, '\0');
  std::iota(text.begin(), text.end(), 'A');
  ASSERT_TRUE(far->write_all(text.data(), text.size()));
  ASSERT_TRUE(ring.WaitFor(250, 2000)) << ring.Count();
  std::string taken(250, '\0');
  EXPECT_EQ(ring.Take(reinterpret_cast<unsigned char*>(taken.data()), 250), 250);
  EXPECT_EQ(taken, text);
  // The host's thread writes while the listener waits.
  uint32_t written = 0;
  EXPECT_EQ(port.Write("xyz", 3, &written, nullptr, SERIAL_INFINITE), 0);
  char echoed[3];
  EXPECT_TRUE(softunit::read_exact(*far, echoed, 3, 2000));
  EXPECT_EQ(port.Close(), 0) << "stops the listener";
  EXPECT_EQ(port.Close(), 0);
  EXPECT_EQ(port.Open(device(), 0, 0, 0, 0), 0) << "opens again after a close";
}

}  // namespace
}  // namespace efi
