#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/wait.h"
#include "platform/waiting.h"

namespace efi::platform {

struct AddressList {
  addrinfo* first = nullptr;
};

namespace {
const addrinfo* address_at(const AddressList* addresses, size_t index) {
  const addrinfo* entry = addresses ? addresses->first : nullptr;
  while (entry && index--) entry = entry->ai_next;
  return entry;
}

}  // namespace

#if defined(EFI_TESTING)
// The testing build connects only to loopback addresses, so no test can reach a real unit.
bool connect_guard_allows(const sockaddr* address) {
  if (address->sa_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
  if (address->sa_family == AF_INET6) {
    const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&ip);
  }
  return false;
}
#endif

uint32_t start_sockets() { return 0; }
void stop_sockets() {}
uint32_t last_socket_error() { return static_cast<uint32_t>(errno); }

int resolve_tcp(const char* host, const char* service, AddressList*& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* first = nullptr;
  const int result = getaddrinfo(host, service, &hints, &first);
  if (result != 0) return result;
  addresses = new AddressList{first};
  return 0;
}

size_t address_count(const AddressList* addresses) {
  size_t count = 0;
  for (const addrinfo* entry = addresses ? addresses->first : nullptr; entry; entry = entry->ai_next) ++count;
  return count;
}

void free_addresses(AddressList* addresses) {
  if (!addresses) return;
  freeaddrinfo(addresses->first);
  delete addresses;
}

Socket open_socket(const AddressList* addresses, size_t index) {
  const addrinfo* entry = address_at(addresses, index);
  if (!entry) {
    errno = EINVAL;
    return {};
  }
  const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
  return fd < 0 ? Socket{} : Socket(fd);
}

void set_no_delay(const Socket& socket) {
  const int value = 1;
  setsockopt(static_cast<int>(socket.get()), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

bool connect_socket(const Socket& socket, const AddressList* addresses, size_t index, uint32_t timeout_ms) {
  const addrinfo* entry = address_at(addresses, index);
  if (!entry) return false;
#if defined(EFI_TESTING)
  if (!connect_guard_allows(entry->ai_addr)) {
    errno = ENETUNREACH;
    return false;
  }
#endif
  const int fd = static_cast<int>(socket.get());
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  bool connected = connect(fd, entry->ai_addr, entry->ai_addrlen) == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
    // The connection goes on in the background; it is done when the socket turns writable.
    if (posix::wait_ready(fd, POLLOUT, timeout_ms)) {
      int error = 0;
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      connected = error == 0;
      if (!connected) errno = error;
    }
  }
  const int kept = errno;
  if (fcntl(fd, F_SETFL, flags) != 0 && connected) return false;
  errno = kept;
  return connected;
}

void SocketTraits::close(Raw raw) noexcept { ::close(static_cast<int>(raw)); }

int64_t send_socket(const Socket& socket, const void* data, size_t size) {
  ssize_t sent;
  do sent = send(static_cast<int>(socket.get()), data, size, MSG_NOSIGNAL);
  while (sent < 0 && errno == EINTR);
  return sent < 0 ? SOCKET_ERROR_RESULT : sent;
}

int64_t receive_socket(const Socket& socket, void* data, size_t size) {
  ssize_t got;
  do got = recv(static_cast<int>(socket.get()), data, size, 0);
  while (got < 0 && errno == EINTR);
  return got < 0 ? SOCKET_ERROR_RESULT : got;
}

int64_t receive_socket_within(const Socket& socket, void* data, size_t size, uint32_t timeout_ms) {
  if (!posix::wait_ready(static_cast<int>(socket.get()), POLLIN, timeout_ms)) return SOCKET_ERROR_RESULT;
  return receive_socket(socket, data, size);
}

bool set_receive_wait(const Socket& socket, uint32_t timeout_ms) {
  const timeval wait{static_cast<time_t>(timeout_ms / 1000), static_cast<suseconds_t>(timeout_ms % 1000 * 1000)};
  return setsockopt(static_cast<int>(socket.get()), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
}

// A blocking receive bound by the socket's own time-out: no look before it, one call in all.
int64_t receive_socket_split(const Socket& socket, void* first, size_t first_size, void* second, size_t second_size) {
  const int fd = static_cast<int>(socket.get());
#if defined(EFI_TESTING)
  // On a clock that skips idle time the socket's own time-out would run on the system's clock:
  // the same wait is made here instead, before the receive.
  if (skipping_idle_time()) {
    timeval wait{};
    socklen_t length = sizeof wait;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, &length) == 0 && (wait.tv_sec > 0 || wait.tv_usec > 0) &&
        !posix::wait_ready(fd, POLLIN, int64_t{wait.tv_sec} * 1000 + wait.tv_usec / 1000)) {
      errno = EAGAIN;
      return SOCKET_ERROR_RESULT;
    }
  }
#endif
  iovec pieces[2] = {{first, first_size}, {second, second_size}};
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = 2;
  ssize_t got;
  do got = recvmsg(fd, &message, 0);
  while (got < 0 && errno == EINTR);
  return got < 0 ? SOCKET_ERROR_RESULT : got;
}

size_t discard_socket_input(const Socket& socket) {
  unsigned char scratch[512];
  size_t discarded = 0;
  for (;;) {
    const ssize_t got = recv(static_cast<int>(socket.get()), scratch, sizeof scratch, MSG_DONTWAIT);
    if (got > 0) {
      discarded += static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return discarded;
  }
}

}  // namespace efi::platform
