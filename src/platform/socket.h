#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/handle.h"

namespace efi::platform {

struct SocketTraits {
  using Raw = intptr_t;
  static constexpr Raw none() { return -1; }
  static void close(Raw raw) noexcept;
};
// A blocking TCP socket (Winsock 2 on Windows, BSD sockets elsewhere), closed when dropped.
using Socket = Owned<SocketTraits>;
// What send and receive return when the call failed.
inline constexpr int64_t SOCKET_ERROR_RESULT = -1;

// Starts the socket library (Windows: version 2.2); 0 or the library's error code.
uint32_t start_sockets();
void stop_sockets();
// The calling thread's last socket error.
uint32_t last_socket_error();

// Addresses of a host and service for a TCP stream connection, in the resolver's order.
struct AddressList;
// 0 and the list, or the resolver's error code.
int resolve_tcp(const char* host, const char* service, AddressList*& addresses);
size_t address_count(const AddressList* addresses);
void free_addresses(AddressList* addresses);

Socket open_socket(const AddressList* addresses, size_t index);
// Switches Nagle's algorithm off, so a command goes out at once.
void set_no_delay(const Socket& socket);
// Connects without blocking and gives up after `timeout_ms` (the last socket error is then the
// time-out), so a peer that never completes the connection costs no more; the socket is blocking
// again afterwards. In the testing build only loopback addresses are reachable: any other connect
// fails as unreachable.
bool connect_socket(const Socket& socket, const AddressList* addresses, size_t index, uint32_t timeout_ms);

// One send or receive call: the count moved, 0 for a closed connection (receive), or
// SOCKET_ERROR_RESULT.
int64_t send_socket(const Socket& socket, const void* data, size_t size);
int64_t receive_socket(const Socket& socket, void* data, size_t size);
// Reads and throws away whatever is waiting to be received, without waiting; the count thrown away.
size_t discard_socket_input(const Socket& socket);
// As receive_socket, but gives up after `timeout_ms` without a byte: SOCKET_ERROR_RESULT with the
// time-out as the last socket error.
int64_t receive_socket_within(const Socket& socket, void* data, size_t size, uint32_t timeout_ms);
// How long receive_socket_split may wait for a first byte (the other receives are not bound by it).
bool set_receive_wait(const Socket& socket, uint32_t timeout_ms);
// One receive call whose bytes fill `first` and then `second` (a header and the data behind it),
// waiting at most the socket's receive wait: the count, 0 for a closed connection, or
// SOCKET_ERROR_RESULT (a time-out included). The socket may not be used after a time-out.
int64_t receive_socket_split(const Socket& socket, void* first, size_t first_size, void* second, size_t second_size);

}  // namespace efi::platform
