#include "platform/posix/wait.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/clock.h"
#include "platform/waiting.h"

namespace efi::platform::posix {

bool wait_ready(int fd, short events, int64_t timeout_ms) {
  pollfd entry{fd, events, 0};
  int result = 0;
  const auto bound = static_cast<uint32_t>(std::clamp<int64_t>(timeout_ms, 0, INT32_MAX));
  const bool ended = wait_within(bound, [&](uint32_t ms) {
    result = poll(&entry, 1, static_cast<int>(ms));
    return result > 0 || (result < 0 && errno != EINTR);
  });
  if (!ended) errno = ETIMEDOUT;
  return ended && result > 0;
}

Transfer write_within(int fd, const void* data, uint32_t size, uint32_t stall_ms) {
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
    if (!wait_ready(fd, POLLOUT, stall_ms)) return {written > 0, written};
  }
  return {true, written};
}

Transfer read_within(int fd, void* data, uint32_t size, TransferBounds bounds, uint32_t wanted, bool wait_first) {
  auto* bytes = static_cast<unsigned char*>(data);
  uint32_t got = 0;
  wanted = std::min(wanted, size);
  const int64_t start = now_ms();
  const int64_t end = bounds.total_ms == UINT32_MAX ? INT64_MAX : start + bounds.total_ms;
  int64_t deadline = std::min(start + bounds.first_byte_ms, end);
  if (wait_first && size > 0 && !wait_ready(fd, POLLIN, deadline - now_ms())) return {false, 0};
  while (got < wanted) {
    const ssize_t n = read(fd, bytes + got, size - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      if (got >= wanted) break;
      deadline = std::min(now_ms() + bounds.quiet_ms, end);
      continue;
    }
    if (n == 0) return {true, got};  // the other side is gone: what arrived is all there is
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return got > 0 ? Transfer{true, got} : Transfer{false, 0};
    if (!wait_ready(fd, POLLIN, deadline - now_ms())) return got > 0 ? Transfer{true, got} : Transfer{false, 0};
  }
  return {true, got};
}

}  // namespace efi::platform::posix
