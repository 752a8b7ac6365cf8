#include "platform/device_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fault.h"
#include "platform/posix/wait.h"

namespace efi::platform {

void DeviceFileTraits::close(Raw raw) noexcept { ::close(static_cast<int>(raw)); }

DeviceFile open_device(const char* path, DeviceSharing sharing) {
  if (fails_now(FaultPoint::device_open)) return {};
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  DeviceFile device(fd);
  // Only a device, a pipe or a socket is a unit; anything else would be overwritten by commands.
  struct stat status {};
  if (fstat(fd, &status) != 0 || !(S_ISCHR(status.st_mode) || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
    device.reset();
    errno = ENODEV;
    return {};
  }
  const bool exclusive = sharing == DeviceSharing::exclusive;
  // Unless shared, nobody else may use the unit while this process has it open.
  if (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    device.reset();
    errno = error;
    return {};
  }
  if (isatty(fd)) {
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
      cfmakeraw(&settings);
      tcsetattr(fd, TCSANOW, &settings);
    }
    if (exclusive) ioctl(fd, TIOCEXCL);
  }
  return device;
}

Transfer write_device(const DeviceFile& device, const void* data, uint32_t size, TransferBounds bounds) {
  if (fails_now(FaultPoint::device_write)) return {false, 0};
  return posix::write_within(static_cast<int>(device.get()), data, size, bounds.first_byte_ms);
}

Transfer read_device(const DeviceFile& device, void* data, uint32_t size, TransferBounds bounds) {
  if (fails_now(FaultPoint::device_read)) return {false, 0};
  return posix::read_within(static_cast<int>(device.get()), data, size, bounds);
}

Transfer read_device_answer(const DeviceFile& device, void* data, uint32_t wanted, uint32_t size,
                            TransferBounds bounds) {
  if (fails_now(FaultPoint::device_read)) return {false, 0};
  return posix::read_within(static_cast<int>(device.get()), data, size, bounds, wanted, true);
}

uint32_t discard_input(const DeviceFile& device) {
  unsigned char scratch[512];
  uint32_t discarded = 0;
  // A look first: on a quiet line (the usual case) that is the only call.
  if (!posix::wait_ready(static_cast<int>(device.get()), POLLIN, 0)) return 0;
  for (;;) {
    const ssize_t n = read(static_cast<int>(device.get()), scratch, sizeof scratch);
    if (n > 0) {
      discarded += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return discarded;
  }
}

}  // namespace efi::platform
