#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

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
    static const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return memcmp(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, loopback, 16) == 0;
  }
  return false;
}
#endif

uint32_t start_sockets() {
  WSADATA data;
  return static_cast<uint32_t>(WSAStartup(MAKEWORD(2, 2), &data));
}

void stop_sockets() { WSACleanup(); }
uint32_t last_socket_error() { return static_cast<uint32_t>(WSAGetLastError()); }

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
  if (!entry) return {};
  const SOCKET s = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
  return s == INVALID_SOCKET ? Socket{} : Socket(static_cast<intptr_t>(s));
}

void set_no_delay(const Socket& socket) {
  const BOOL value = TRUE;
  setsockopt(static_cast<SOCKET>(socket.get()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
             sizeof value);
}

bool connect_socket(const Socket& socket, const AddressList* addresses, size_t index, uint32_t timeout_ms) {
  const addrinfo* entry = address_at(addresses, index);
  if (!entry) return false;
#if defined(EFI_TESTING)
  if (!connect_guard_allows(entry->ai_addr)) {
    WSASetLastError(WSAENETUNREACH);
    return false;
  }
#endif
  const SOCKET raw = static_cast<SOCKET>(socket.get());
  u_long non_blocking = 1;
  if (ioctlsocket(raw, FIONBIO, &non_blocking) != 0) return false;
  bool connected = connect(raw, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0;
  if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
    // The connection goes on in the background: done when the socket turns writable, failed when
    // select reports it among the exceptions.
    fd_set writable, failed;
    int ready = 0;
    wait_within(timeout_ms, [&](uint32_t ms) {
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(raw, &writable);
      FD_SET(raw, &failed);
      timeval wait{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
      ready = select(0, nullptr, &writable, &failed, &wait);
      return ready != 0;
    });
    if (ready > 0 && FD_ISSET(raw, &writable)) {
      connected = true;
    } else if (ready > 0) {
      int error = 0;
      int length = sizeof error;
      getsockopt(raw, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
    } else if (ready == 0) {
      WSASetLastError(WSAETIMEDOUT);
    }
  }
  const int kept = WSAGetLastError();
  u_long blocking = 0;
  if (ioctlsocket(raw, FIONBIO, &blocking) != 0 && connected) return false;
  WSASetLastError(kept);
  return connected;
}

void SocketTraits::close(Raw raw) noexcept { closesocket(static_cast<SOCKET>(raw)); }

int64_t send_socket(const Socket& socket, const void* data, size_t size) {
  const int sent = send(static_cast<SOCKET>(socket.get()), static_cast<const char*>(data), static_cast<int>(size), 0);
  return sent == SOCKET_ERROR ? SOCKET_ERROR_RESULT : sent;
}

int64_t receive_socket(const Socket& socket, void* data, size_t size) {
  const int got = recv(static_cast<SOCKET>(socket.get()), static_cast<char*>(data), static_cast<int>(size), 0);
  return got == SOCKET_ERROR ? SOCKET_ERROR_RESULT : got;
}

namespace {
// Waits up to `timeout_ms` for bytes to receive; false on time-out (WSAETIMEDOUT) or failure.
bool wait_readable(const Socket& socket, uint32_t timeout_ms) {
  WSAPOLLFD entry{static_cast<SOCKET>(socket.get()), POLLRDNORM, 0};
  int ready = 0;
  wait_within(timeout_ms, [&](uint32_t ms) {
    ready = WSAPoll(&entry, 1, static_cast<INT>(ms));
    return ready != 0;
  });
  if (ready == 0) WSASetLastError(WSAETIMEDOUT);
  return ready > 0;
}
}  // namespace

int64_t receive_socket_within(const Socket& socket, void* data, size_t size, uint32_t timeout_ms) {
  if (!wait_readable(socket, timeout_ms)) return SOCKET_ERROR_RESULT;
  return receive_socket(socket, data, size);
}

bool set_receive_wait(const Socket& socket, uint32_t timeout_ms) {
  const DWORD wait = timeout_ms;
  return setsockopt(static_cast<SOCKET>(socket.get()), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait),
                    sizeof wait) == 0;
}

int64_t receive_socket_split(const Socket& socket, void* first, size_t first_size, void* second, size_t second_size) {
  WSABUF pieces[2] = {{static_cast<ULONG>(first_size), static_cast<char*>(first)},
                      {static_cast<ULONG>(second_size), static_cast<char*>(second)}};
  DWORD got = 0;
  DWORD flags = 0;
#if defined(EFI_TESTING)
  // On a clock that skips idle time the socket's own time-out would run on the system's clock:
  // the same wait is made here instead, before the receive.
  if (skipping_idle_time()) {
    DWORD wait = 0;
    int length = sizeof wait;
    if (getsockopt(static_cast<SOCKET>(socket.get()), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&wait),
                   &length) == 0 &&
        wait > 0 && !wait_readable(socket, wait))
      return SOCKET_ERROR_RESULT;
  }
#endif
  if (WSARecv(static_cast<SOCKET>(socket.get()), pieces, 2, &got, &flags, nullptr, nullptr) == SOCKET_ERROR)
    return SOCKET_ERROR_RESULT;
  return static_cast<int64_t>(got);
}

size_t discard_socket_input(const Socket& socket) {
  char scratch[512];
  size_t discarded = 0;
  for (;;) {
    u_long waiting = 0;
    if (ioctlsocket(static_cast<SOCKET>(socket.get()), FIONREAD, &waiting) != 0 || waiting == 0) return discarded;
    const int got = recv(static_cast<SOCKET>(socket.get()), scratch,
                         static_cast<int>(waiting < sizeof scratch ? waiting : sizeof scratch), 0);
    if (got <= 0) return discarded;
    discarded += static_cast<size_t>(got);
  }
}

}  // namespace efi::platform
