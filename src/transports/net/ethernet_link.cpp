#include "transports/net/ethernet_link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/system_error.h"
#include "protocol/headers.h"
#include "transports/common/framing.h"

namespace efi {

namespace {

void trace(const char* format, long value) {
  std::printf(format, value);
  std::fflush(stdout);
}

void show_exchange_error(const Reporter& report, const char* text) {
  report.always(ERROR_TITLE, TextWidth::narrow, "%s", text);
}

}  // namespace

EthernetLink::~EthernetLink() {
  if (Ethernet_CRInitialized) {
    socket.reset();
    platform::stop_sockets();
  }
}

// The connection broke: forget it, so that the next initialisation connects again.
void EthernetLink::drop_connection() {
  socket.reset();
  Ethernet_CRInitialized = 0;
}

// Receives `count` bytes into the response buffer from offset `at`; bytes that would land beyond
// the locked buffer are read and thrown away. False when the connection failed.
bool EthernetLink::receive_data(uint32_t at, uint32_t count) {
  auto receive_exactly = [this](unsigned char* target, uint32_t size) -> uint32_t {
    while (size > 0) {
      const int64_t got = platform::receive_socket(socket, target, size);
      if (got <= 0) return STATUS_CR_READ_FAILED;
      target += got;
      size -= static_cast<uint32_t>(got);
    }
    return 0;
  };
  if (at < ETHERNET_BUFFER_SIZE) {
    const uint32_t room = std::min<uint32_t>(count, static_cast<uint32_t>(ETHERNET_BUFFER_SIZE - at));
    if (receive_exactly(buffers.response_data() + at, room)) return false;
    count -= room;
  }
  unsigned char discard[1024];
  return drain(count, discard, sizeof discard, receive_exactly) == 0;
}

// Reads the response into the locked buffers, single piece or chunked with acknowledgements.
EthernetLink::Exchange EthernetLink::receive_response(const LinkContext& context, CRM* crm, uint32_t capacity) {
  const Reporter& report = context.report;
  ResponseHeader_TS* header = buffers.response_header();
  const int64_t header_bytes = platform::receive_socket(socket, header, sizeof(ResponseHeader_TS));
  if (header_bytes <= 0) return Exchange::broken;
  if (context.convert_headers) SwapHeaderByteOrder(header);
  const uint32_t returning = header->response_data_returning_size;
  const bool fits = response_fits(returning, capacity, ETHERNET_BUFFER_SIZE);
  const uint16_t chunk_size = header->dummy;

  if (chunk_size == EFI_RESPONSE_MARKER) {
    if (header_bytes != sizeof(ResponseHeader_TS)) {
      show_exchange_error(report, "Ethernet_SendCommandReceiveResponse bytes_received != sizeof(ResponseHeader_TS)");
      return Exchange::done;
    }
    if (returning == 0) {
      show_exchange_error(report,
                          "Ethernet_SendCommandReceiveResponse pCRM->response_header->response_data_returning_size == 0");
      return Exchange::done;
    }
    if (!fits) return receive_data(0, returning) ? Exchange::too_large : Exchange::broken;
    const int64_t got = platform::receive_socket(socket, buffers.response_data(), returning);
    if (got <= 0) return Exchange::broken;
    if (got != returning) {
      show_exchange_error(report, "Ethernet_SendCommandReceiveResponse payload_transferred != pCRM->response_header->response_data_returning_size");
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
    put_header(&acknowledgement, &acknowledgement, context.convert_headers);
    if (platform::send_socket(socket, &acknowledgement, sizeof acknowledgement) == platform::SOCKET_ERROR_RESULT) {
      show_exchange_error(report, " Ethernet_SendCommandReceiveResponse send error");
      break;
    }
    chunk = std::min<uint32_t>(remaining, chunk_size);
  }
  if (!fits) return Exchange::too_large;
  store_received_size(crm, returning);
  return Exchange::done;
}

void EthernetLink::set_address(const char* new_host, const char* new_service) {
  host = new_host ? new_host : ETHERNET_UNIT_ADDRESS;
  service = new_host && new_service ? new_service : ETHERNET_UNIT_SERVICE;
}

uint32_t EthernetLink::initialize(const LinkContext& context, uint32_t, const char*) {
  if (Ethernet_CRInitialized) return 0;
  const Reporter& report = context.report;
  if (const uint32_t error = platform::start_sockets()) {
    report.always(ERROR_TITLE, TextWidth::narrow, "WSAStartup() failed with error code %ld\n", static_cast<long>(error));
    return 1;
  }
  platform::AddressList* addresses = nullptr;
  if (const int error = platform::resolve_tcp(host.c_str(), service.c_str(), addresses)) {
    trace("getaddrinfo failed with error: %ld\n", error);
    platform::stop_sockets();
    return 1;
  }
  platform::Socket connected;
  for (size_t index = 0; index < platform::address_count(addresses); ++index) {
    platform::Socket candidate = platform::open_socket(addresses, index);
    if (!candidate) {
      trace("socket failed with error: %ld\n", static_cast<long>(platform::last_socket_error()));
      platform::stop_sockets();
      break;
    }
    platform::set_no_delay(candidate);
    if (platform::connect_socket(candidate, addresses, index)) {
      connected = std::move(candidate);
      break;
    }
  }
  platform::free_addresses(addresses);
  if (!connected) {
    std::printf("Unable to connect to server!\n");
    std::fflush(stdout);
    platform::stop_sockets();
    return 1;
  }
  socket = std::move(connected);
  Ethernet_CRInitialized = 1;
  buffers.set_up(report);
  return 0;
}

uint32_t EthernetLink::send(const LinkContext& context, CRM* crm) {
  const Reporter& report = context.report;
  // After a failed initialisation or a broken connection there is nobody to talk to until the
  // host initialises again.
  if (!Ethernet_CRInitialized) {
    show_exchange_error(report, "Ethernet_SendCommandReceiveResponse not connected");
    return STATUS_CR_NOT_CONNECTED;
  }
  if (!buffers.ready()) return STATUS_CR_LOCKED_BUFFER_FAILED;
  const uint32_t command_size = crm->command_header->command_data_size;
  const uint32_t capacity = crm->command_header->response_buffer_size;
  if (command_size > ETHERNET_MAX_COMMAND_DATA) return STATUS_CR_COMMAND_TOO_LARGE;

  // The send buffer holds the command header in the unit's order with the data behind it.
  LockedExchange exchange(crm, buffers, sizeof(CommandHeader_TS));
  put_header(buffers.command_data(), buffers.command_header(), context.convert_headers);

  uint32_t status = 0;
  const uint16_t message_size = static_cast<uint16_t>(sizeof(CommandHeader_TS) + command_size);
  if (platform::send_socket(socket, buffers.command_data(), message_size) == platform::SOCKET_ERROR_RESULT) {
    show_exchange_error(report, " Ethernet_SendCommandReceiveResponse send error");
  } else {
    switch (receive_response(context, crm, capacity)) {
      case Exchange::done:
        break;
      case Exchange::too_large:
        status = STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
        break;
      case Exchange::broken:
        show_exchange_error(report, "Ethernet_SendCommandReceiveResponse recv failed");
        drop_connection();
        status = STATUS_CR_READ_FAILED;
        break;
      case Exchange::bad_chunk:
        report.always(ERROR_TITLE, TextWidth::narrow, "Ethernet_SendCommandReceiveResponse chunk size %u below 8",
                      static_cast<unsigned>(crm->response_header->dummy));
        // The rest of that response is still on its way: start over on a fresh connection.
        drop_connection();
        status = STATUS_CR_READ_FAILED;
        break;
    }
  }

  // Everything back to the caller, never more response data than the caller's buffer holds.
  exchange.finish(capacity);
  return status;
}

}  // namespace efi
