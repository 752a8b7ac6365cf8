#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

#include "platform/device_interface.h"
#include "platform/posix/wait.h"

namespace efi::platform {

namespace {

int native(const SerialPort& port) { return static_cast<int>(port.get()); }

struct Speed {
  uint32_t rate;
  speed_t constant;
};
constexpr Speed SPEEDS[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},         {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#if defined(B460800)
    {460800, B460800},
#endif
#if defined(B500000)
    {500000, B500000}, {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000},
#endif
};

bool speed_of(uint32_t rate, speed_t& constant) {
  for (const Speed& speed : SPEEDS) {
    if (speed.rate == rate) {
      constant = speed.constant;
      return true;
    }
  }
  return false;
}

constexpr tcflag_t SIZE_BITS[] = {CS5, CS6, CS7, CS8};

#if defined(CMSPAR)
constexpr tcflag_t STICK_PARITY = CMSPAR;
#else
constexpr tcflag_t STICK_PARITY = 0;
#endif
#if defined(CRTSCTS)
constexpr tcflag_t HARDWARE_FLOW = CRTSCTS;
#else
constexpr tcflag_t HARDWARE_FLOW = 0;
#endif

tcflag_t parity_bits(Parity parity) {
  switch (parity) {
    case Parity::odd:
      return PARENB | PARODD;
    case Parity::even:
      return PARENB;
    case Parity::mark:
      return PARENB | STICK_PARITY | PARODD;
    case Parity::space:
      return PARENB | STICK_PARITY;
    default:
      return 0;
  }
}

bool supported(const SerialSettings& settings) {
  const bool stick = settings.parity == Parity::mark || settings.parity == Parity::space;
  return settings.data_bits >= 5 && settings.data_bits <= 8 && settings.parity <= Parity::space &&
         settings.stop_bits <= StopBits::two && settings.handshake <= Handshake::software &&
         (!stick || STICK_PARITY != 0) && (settings.handshake != Handshake::hardware || HARDWARE_FLOW != 0);
}

// Raw bytes both ways. A read returns what has arrived, and with nothing there fails with EAGAIN
// (the descriptor does not block) rather than returning 0, which would mean the line is gone.
void make_raw(termios& line) {
  cfmakeraw(&line);
  line.c_cflag |= CLOCAL | CREAD;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
}

}  // namespace

void SerialPortTraits::close(Raw raw) noexcept { ::close(static_cast<int>(raw)); }

std::string serial_port_path(const std::string& name) { return device_directory() + "/" + name; }

SerialPort open_serial_port(const char* path) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  SerialPort port(fd);
  termios line{};
  int error = 0;
  if (!isatty(fd)) {
    error = ENOTTY;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Nobody else may use the line while this process has it open.
    error = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (tcgetattr(fd, &line) != 0) {
    error = errno;
  } else {
    make_raw(line);
    if (tcsetattr(fd, TCSANOW, &line) != 0) error = errno;
  }
  if (error != 0) {
    port.reset();
    errno = error;
    return {};
  }
  ioctl(fd, TIOCEXCL);
  return port;
}

bool configure_serial_port(const SerialPort& port, const SerialSettings& settings) {
  speed_t speed = B0;
  if (!supported(settings) || !speed_of(settings.baud_rate, speed)) {
    errno = EINVAL;
    return false;
  }
  const int fd = native(port);
  termios line{};
  if (tcgetattr(fd, &line) != 0) return false;
  make_raw(line);
  line.c_cflag &= ~(CSIZE | PARENB | PARODD | STICK_PARITY | CSTOPB | HARDWARE_FLOW);
  line.c_cflag |= SIZE_BITS[settings.data_bits - 5] | parity_bits(settings.parity);
  if (settings.stop_bits != StopBits::one) line.c_cflag |= CSTOPB;
  if (settings.handshake == Handshake::hardware) line.c_cflag |= HARDWARE_FLOW;
  line.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (settings.handshake == Handshake::software) {
    line.c_iflag |= IXON | IXOFF;
    line.c_cc[VSTART] = 0x11;
    line.c_cc[VSTOP] = 0x13;
  }
  if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0 || tcsetattr(fd, TCSANOW, &line) != 0)
    return false;
  // tcsetattr succeeds when any part was taken; a driver that dropped a setting has refused it.
  // (A pseudo-terminal, for one, keeps 8 data bits without parity whatever it is asked for.)
  const tcflag_t kept = CSIZE | PARENB | PARODD | STICK_PARITY | CSTOPB | HARDWARE_FLOW;
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  if ((now.c_cflag & kept) != (line.c_cflag & kept) || cfgetospeed(&now) != speed) {
    errno = EINVAL;
    return false;
  }
  return true;
}

bool purge_serial_port(const SerialPort& port, bool receive, bool transmit) {
  if (!receive && !transmit) return true;
  return tcflush(native(port), receive && transmit ? TCIOFLUSH : receive ? TCIFLUSH : TCOFLUSH) == 0;
}

Transfer write_serial(const SerialPort& port, const void* data, uint32_t size, TransferBounds bounds) {
  return posix::write_within(native(port), data, size, bounds.first_byte_ms);
}

Transfer read_serial(const SerialPort& port, void* data, uint32_t size, TransferBounds bounds) {
  return posix::read_within(native(port), data, size, bounds);
}

SerialWait wait_serial_receive(const SerialPort& port, uint32_t timeout_ms) {
  if (!posix::wait_ready(native(port), POLLIN, timeout_ms))
    return errno == ETIMEDOUT ? SerialWait::timed_out : SerialWait::failed;
  const int64_t waiting = serial_bytes_waiting(port);
  if (waiting > 0) return SerialWait::received;
  // Ready with nothing to read: the other end of the line is gone.
  if (waiting == 0) errno = EIO;
  return SerialWait::failed;
}

int64_t serial_bytes_waiting(const SerialPort& port) {
  int waiting = 0;
  if (ioctl(native(port), FIONREAD, &waiting) != 0) return -1;
  return waiting;
}

}  // namespace efi::platform
