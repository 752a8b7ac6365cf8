#pragma once

#include <cstddef>
#include <cstdint>

namespace efi::platform {

// Blocking TCP sockets (Winsock 2 on Windows, BSD sockets elsewhere).
using SocketHandle = intptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;
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

SocketHandle open_socket(const AddressList* addresses, size_t index);
// Switches Nagle's algorithm off: the option is read, set to 1 and read again, unexamined.
void set_no_delay(SocketHandle socket);
// In test builds only loopback addresses are reachable: any other connect fails as unreachable.
bool connect_socket(SocketHandle socket, const AddressList* addresses, size_t index);
void close_socket(SocketHandle socket);

// One send or receive call: the count moved, 0 for a closed connection (receive), or
// SOCKET_ERROR_RESULT.
int64_t send_socket(SocketHandle socket, const void* data, size_t size);
int64_t receive_socket(SocketHandle socket, void* data, size_t size);

}  // namespace efi::platform
