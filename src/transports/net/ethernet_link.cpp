#include "transports/net/ethernet_link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/messages.h"
#include "api/process_state.h"
#include "platform/locked_memory.h"
#include "platform/socket.h"
#include "platform/system_error.h"
#include "protocol/headers.h"

namespace efi {

namespace {

struct LockedBuffer {
  const char* name;
  size_t size;
  unsigned char* pages = nullptr;
};

struct EthernetState {
  uint8_t Ethernet_CRInitialized = 0;
  platform::SocketHandle socket = platform::INVALID_SOCKET_HANDLE;
  LockedBuffer command_header{"Ethernet_pLocked_command_header", sizeof(CommandHeader_TS)};
  LockedBuffer command_data{"Ethernet_pLocked_command_data", ETHERNET_BUFFER_SIZE};
  LockedBuffer response_header{"Ethernet_pLocked_response_header", sizeof(ResponseHeader_TS)};
  LockedBuffer response_data{"Ethernet_pLocked_response_data", ETHERNET_BUFFER_SIZE};
  std::string host = ETHERNET_UNIT_ADDRESS;
  std::string service = ETHERNET_UNIT_SERVICE;
};
EthernetState ethernet;

void trace(const char* format, long value) {
  std::printf(format, value);
  std::fflush(stdout);
}

// Allocates and locks one exchange buffer; a failure leaves it absent and is reported.
void set_up_buffer(LockedBuffer& buffer, bool report_lock_failure) {
  if (buffer.pages) return;
  void* pages = platform::allocate_pages(buffer.size);
  if (!pages) {
    report_error(TextWidth::narrow, "Ethernet_DataToLockedBuffers VirtualAlloc %s failed GetLastError = %08x",
                 buffer.name, platform::last_error());
    return;
  }
  if (!platform::lock_pages(pages, buffer.size)) {
    const uint32_t error = platform::last_error();
    platform::free_pages(pages, buffer.size);
    if (report_lock_failure)
      report_error(TextWidth::narrow, "Ethernet_DataToLockedBuffers VirtualLock %s failed GetLastError = %08x",
                   buffer.name, error);
    return;
  }
  buffer.pages = static_cast<unsigned char*>(pages);
}

void show_exchange_error(const char* text) { report_error_always(ERROR_TITLE, TextWidth::narrow, "%s", text); }

// The connection broke: forget it, so that the next initialisation connects again.
void drop_connection() {
  platform::close_socket(ethernet.socket);
  ethernet.socket = platform::INVALID_SOCKET_HANDLE;
  ethernet.Ethernet_CRInitialized = 0;
}

// Receives `count` bytes into the response buffer from offset `at`; bytes that would land beyond
// the locked buffer are read and thrown away. False when the connection failed.
bool receive_data(uint32_t at, uint32_t count) {
  unsigned char discard[1024];
  while (count > 0) {
    unsigned char* target;
    size_t room;
    if (at < ETHERNET_BUFFER_SIZE) {
      target = ethernet.response_data.pages + at;
      room = std::min<size_t>(count, ETHERNET_BUFFER_SIZE - at);
    } else {
      target = discard;
      room = std::min<size_t>(count, sizeof discard);
    }
    const int64_t got = platform::receive_socket(ethernet.socket, target, room);
    if (got <= 0) return false;
    at += static_cast<uint32_t>(got);
    count -= static_cast<uint32_t>(got);
  }
  return true;
}

void convert_header(void* header) {
  if (!process().no_conversion) SwapHeaderByteOrder(header);
}

enum class Exchange { done, too_large, broken, bad_chunk };

// Reads the response into the locked buffers, single piece or chunked with acknowledgements.
Exchange receive_response(CRM* crm, uint32_t capacity) {
  auto* header = reinterpret_cast<ResponseHeader_TS*>(ethernet.response_header.pages);
  const int64_t header_bytes = platform::receive_socket(ethernet.socket, header, sizeof(ResponseHeader_TS));
  if (header_bytes <= 0) return Exchange::broken;
  convert_header(header);
  const uint32_t returning = header->response_data_returning_size;
  const bool fits = returning <= capacity && returning <= ETHERNET_BUFFER_SIZE;
  const uint16_t chunk_size = header->dummy;

  if (chunk_size == EFI_RESPONSE_MARKER) {
    if (header_bytes != sizeof(ResponseHeader_TS)) {
      show_exchange_error("Ethernet_SendCommandReceiveResponse bytes_received != sizeof(ResponseHeader_TS)");
      return Exchange::done;
    }
    if (returning == 0) {
      show_exchange_error("Ethernet_SendCommandReceiveResponse pCRM->response_header->response_data_returning_size == 0");
      return Exchange::done;
    }
    if (!fits) return receive_data(0, returning) ? Exchange::too_large : Exchange::broken;
    const int64_t got = platform::receive_socket(ethernet.socket, ethernet.response_data.pages, returning);
    if (got <= 0) return Exchange::broken;
    if (got != returning) {
      show_exchange_error("Ethernet_SendCommandReceiveResponse payload_transferred != pCRM->response_header->response_data_returning_size");
      return Exchange::done;
    }
    store_received_size(crm, static_cast<uint32_t>(got));
    return Exchange::done;
  }

  if (chunk_size < sizeof(ResponseHeader_TS)) return Exchange::bad_chunk;
  uint16_t remaining = static_cast<uint16_t>(returning);
  uint32_t received = 0;
  // A response shorter than one chunk comes as that one short chunk.
  uint32_t chunk = std::min<uint32_t>(remaining, chunk_size - sizeof(ResponseHeader_TS));
  while (remaining != 0) {
    if (!receive_data(received, chunk)) return Exchange::broken;
    received += chunk;
    remaining = static_cast<uint16_t>(remaining - chunk);
    if (remaining == 0) break;
    ResponseHeader_TS acknowledgement = *header;
    acknowledgement.response_data_returning_size = static_cast<uint16_t>(received + sizeof(ResponseHeader_TS));
    convert_header(&acknowledgement);
    if (platform::send_socket(ethernet.socket, &acknowledgement, sizeof acknowledgement) ==
        platform::SOCKET_ERROR_RESULT) {
      show_exchange_error(" Ethernet_SendCommandReceiveResponse send error");
      break;
    }
    chunk = std::min<uint32_t>(remaining, chunk_size);
  }
  if (!fits) return Exchange::too_large;
  store_received_size(crm, returning);
  return Exchange::done;
}

}  // namespace

void set_ethernet_address(const char* host, const char* service) {
  ethernet.host = host ? host : ETHERNET_UNIT_ADDRESS;
  ethernet.service = host && service ? service : ETHERNET_UNIT_SERVICE;
}

void reset_ethernet_link() {
  if (ethernet.Ethernet_CRInitialized) {
    drop_connection();
    platform::stop_sockets();
  }
  for (LockedBuffer* buffer :
       {&ethernet.command_header, &ethernet.command_data, &ethernet.response_header, &ethernet.response_data}) {
    platform::free_pages(buffer->pages, buffer->size);
    buffer->pages = nullptr;
  }
}

uint32_t Ethernet_InitializeInterfaces(uint32_t, const char*) {
  if (ethernet.Ethernet_CRInitialized) return 0;
  if (const uint32_t error = platform::start_sockets()) {
    report_error_always(ERROR_TITLE, TextWidth::narrow, "WSAStartup() failed with error code %ld\n",
                        static_cast<long>(error));
    return 1;
  }
  platform::AddressList* addresses = nullptr;
  if (const int error = platform::resolve_tcp(ethernet.host.c_str(), ethernet.service.c_str(), addresses)) {
    trace("getaddrinfo failed with error: %ld\n", error);
    platform::stop_sockets();
    return 1;
  }
  platform::SocketHandle socket = platform::INVALID_SOCKET_HANDLE;
  for (size_t index = 0; index < platform::address_count(addresses); ++index) {
    socket = platform::open_socket(addresses, index);
    if (socket == platform::INVALID_SOCKET_HANDLE) {
      trace("socket failed with error: %ld\n", static_cast<long>(platform::last_socket_error()));
      platform::stop_sockets();
      break;
    }
    platform::set_no_delay(socket);
    if (platform::connect_socket(socket, addresses, index)) break;
    platform::close_socket(socket);
    socket = platform::INVALID_SOCKET_HANDLE;
  }
  platform::free_addresses(addresses);
  if (socket == platform::INVALID_SOCKET_HANDLE) {
    std::printf("Unable to connect to server!\n");
    std::fflush(stdout);
    platform::stop_sockets();
    return 1;
  }
  ethernet.socket = socket;
  ethernet.Ethernet_CRInitialized = 1;

  set_up_buffer(ethernet.command_header, true);
  set_up_buffer(ethernet.command_data, true);
  set_up_buffer(ethernet.response_header, false);
  set_up_buffer(ethernet.response_data, false);
  return 0;
}

uint32_t Ethernet_SendCommandReceiveResponse(CRM* crm) {
  // After a failed initialisation or a broken connection there is nobody to talk to until the
  // host initialises again.
  if (!ethernet.Ethernet_CRInitialized) {
    show_exchange_error("Ethernet_SendCommandReceiveResponse not connected");
    return STATUS_CR_NOT_CONNECTED;
  }
  if (!ethernet.command_header.pages || !ethernet.command_data.pages || !ethernet.response_header.pages ||
      !ethernet.response_data.pages)
    return STATUS_CR_LOCKED_BUFFER_FAILED;
  const uint32_t command_size = crm->command_header->command_data_size;
  const uint32_t capacity = crm->command_header->response_buffer_size;
  if (command_size > ETHERNET_MAX_COMMAND_DATA) return STATUS_CR_COMMAND_TOO_LARGE;

  const CRM caller = *crm;
  auto* locked_header = reinterpret_cast<CommandHeader_TS*>(ethernet.command_header.pages);
  *locked_header = *caller.command_header;
  crm->command_header = locked_header;
  convert_header(locked_header);
  std::memcpy(ethernet.command_data.pages, locked_header, sizeof(CommandHeader_TS));
  convert_header(locked_header);
  if (command_size) std::memcpy(ethernet.command_data.pages + sizeof(CommandHeader_TS), caller.command_data, command_size);
  crm->command_data = ethernet.command_data.pages;
  crm->response_header = reinterpret_cast<ResponseHeader_TS*>(ethernet.response_header.pages);
  crm->response_data = ethernet.response_data.pages;

  uint32_t status = 0;
  const uint16_t message_size = static_cast<uint16_t>(sizeof(CommandHeader_TS) + command_size);
  if (platform::send_socket(ethernet.socket, ethernet.command_data.pages, message_size) ==
      platform::SOCKET_ERROR_RESULT) {
    show_exchange_error(" Ethernet_SendCommandReceiveResponse send error");
  } else {
    switch (receive_response(crm, capacity)) {
      case Exchange::done:
        break;
      case Exchange::too_large:
        status = STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
        break;
      case Exchange::broken:
        show_exchange_error("Ethernet_SendCommandReceiveResponse recv failed");
        drop_connection();
        status = STATUS_CR_READ_FAILED;
        break;
      case Exchange::bad_chunk:
        report_error_always(ERROR_TITLE, TextWidth::narrow,
                            "Ethernet_SendCommandReceiveResponse chunk size %u below 8",
                            static_cast<unsigned>(crm->response_header->dummy));
        // The rest of that response is still on its way: start over on a fresh connection.
        drop_connection();
        status = STATUS_CR_READ_FAILED;
        break;
    }
  }

  // Everything back to the caller, never more response data than the caller's buffer holds.
  *caller.command_header = *locked_header;
  if (command_size) std::memcpy(caller.command_data, ethernet.command_data.pages + sizeof(CommandHeader_TS), command_size);
  *caller.response_header = *crm->response_header;
  const uint32_t returning = crm->response_header->response_data_returning_size;
  const size_t copy = std::min<size_t>({returning, capacity, ETHERNET_BUFFER_SIZE});
  if (copy && caller.response_data) std::memcpy(caller.response_data, ethernet.response_data.pages, copy);
  *crm = caller;
  return status;
}

const TransportDescriptor ETHERNET_TRANSPORT{
    "Ethernet", Ethernet_SendCommandReceiveResponse, connect_nothing, Ethernet_InitializeInterfaces,
    close_nothing, nullptr,
};

}  // namespace efi
