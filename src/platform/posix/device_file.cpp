#include "platform/device_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/fault.h"

namespace efi::platform {

namespace {

// Handles carry fd + 1 so that descriptor 0 is not mistaken for "no device".
int descriptor(DeviceHandle device) { return static_cast<int>(reinterpret_cast<intptr_t>(device)) - 1; }
DeviceHandle handle_of(int fd) { return reinterpret_cast<DeviceHandle>(static_cast<intptr_t>(fd) + 1); }

int64_t now_ms() { return performance_counter() / (performance_frequency() / 1000); }

// Waits until `fd` is ready for `events` or `timeout_ms` passes; false on time-out or error.
bool wait_ready(int fd, short events, int64_t timeout_ms) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = poll(&entry, 1, static_cast<int>(timeout_ms < 0 ? 0 : timeout_ms));
    if (ready > 0) return true;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

}  // namespace

DeviceHandle open_device(const char* path) {
  if (fails_now(FaultPoint::device_open)) return nullptr;
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Nobody else may use the unit while this process has it open.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    errno = error;
    return nullptr;
  }
  if (isatty(fd)) {
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
      cfmakeraw(&settings);
      tcsetattr(fd, TCSANOW, &settings);
    }
    ioctl(fd, TIOCEXCL);
  }
  return handle_of(fd);
}

void close_device(DeviceHandle device) {
  if (device) close(descriptor(device));
}

Transfer write_device(DeviceHandle device, const void* data, uint32_t size) {
  if (fails_now(FaultPoint::device_write)) return {false, 0};
  const int fd = descriptor(device);
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, bytes + written, size - written);
    if (n > 0) {
      written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return {written > 0, written};
    if (!wait_ready(fd, POLLOUT, DEVICE_FIRST_BYTE_TIMEOUT_MS)) return {written > 0, written};
  }
  return {true, written};
}

Transfer read_device(DeviceHandle device, void* data, uint32_t size) {
  if (fails_now(FaultPoint::device_read)) return {false, 0};
  const int fd = descriptor(device);
  auto* bytes = static_cast<unsigned char*>(data);
  uint32_t got = 0;
  int64_t deadline = now_ms() + DEVICE_FIRST_BYTE_TIMEOUT_MS;
  while (got < size) {
    const ssize_t n = read(fd, bytes + got, size - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      deadline = now_ms() + DEVICE_QUIET_TIMEOUT_MS;
      continue;
    }
    if (n == 0) return {true, got};  // the other side is gone: what arrived is all there is
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return got > 0 ? Transfer{true, got} : Transfer{false, 0};
    if (!wait_ready(fd, POLLIN, deadline - now_ms())) {
      if (got > 0) return {true, got};
      if (errno == ETIMEDOUT) return {false, 0};
      return {false, 0};
    }
  }
  return {true, got};
}

}  // namespace efi::platform
