#include "transports/net/ethernet_link.h"

#include <algorithm>
#include <cstring>

#include "platform/system_error.h"
#include "protocol/headers.h"
#include "protocol/status.h"
#include "transports/common/framing.h"
#include "transports/common/in_step.h"

namespace efi {

namespace {

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

// The connection broke: forget it, so that the next initialisation connects again (and starts the
// socket library again: each successful initialisation holds one start, given back here or when
// the link goes).
void EthernetLink::drop_connection() {
  socket.reset();
  Ethernet_CRInitialized = 0;
  platform::stop_sockets();
}

// Receives exactly `size` bytes: 0, or STATUS_CR_READ_FAILED when the peer closed, failed, let
// `first_wait_ms` pass before the first byte or ETHERNET_PIECE_WAIT_MS between later ones, or the
// exchange's time ran out.
uint32_t EthernetLink::receive_exactly(unsigned char* target, uint32_t size, uint32_t first_wait_ms,
                                       const Deadline& deadline) {
  uint32_t wait_ms = first_wait_ms;
  auto receive_some = [&](unsigned char* at, uint32_t wanted) -> int64_t {
    if (deadline.expired()) return 0;
    const int64_t got = platform::receive_socket_within(socket, at, wanted, deadline.within(wait_ms).remaining_ms());
    wait_ms = ETHERNET_PIECE_WAIT_MS;
    return got;
  };
  return read_exactly(target, size, receive_some) == size ? 0 : STATUS_CR_READ_FAILED;
}

// Receives `count` bytes into the response buffer from offset `at`; bytes that would land beyond
// the locked buffer are read and thrown away.
uint32_t EthernetLink::receive_data(uint32_t at, uint32_t count, const Deadline& deadline) {
  if (at < arrived) {
    const uint32_t ready = std::min(count, arrived - at);
    at += ready;
    count -= ready;
    received_now = std::max(received_now, at);
  }
  auto receive_piece = [&](unsigned char* target, uint32_t size) {
    return receive_exactly(target, size, ETHERNET_PIECE_WAIT_MS, deadline);
  };
  if (at < ETHERNET_BUFFER_SIZE) {
    const uint32_t room = std::min<uint32_t>(count, static_cast<uint32_t>(ETHERNET_BUFFER_SIZE - at));
    if (const uint32_t status = receive_piece(buffers.response_data() + at, room)) return status;
    received_now = at + room;
    count -= room;
  }
  unsigned char discard[1024];
  return drain(count, discard, sizeof discard, receive_piece, tracer);
}

bool EthernetLink::send_all(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const int64_t sent = platform::send_socket(socket, bytes, size);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Reads the response into the locked buffers, single piece or chunked with acknowledgements.
// Anything but 0 or STATUS_CR_RESPONSE_BUFFER_TOO_SMALL leaves the connection out of step.
uint32_t EthernetLink::receive_response(const LinkContext& context, CRM* crm, uint32_t capacity,
                                        const Deadline& deadline) {
  const Reporter& report = context.report;
  ResponseHeader_TS* header = buffers.response_header();
  auto* header_bytes = reinterpret_cast<unsigned char*>(header);
  // The first bytes may take the unit a while; the rest of the header follows at once. Data that
  // came with the header are in place already.
  const int64_t first = platform::receive_socket_split(socket, header_bytes, sizeof(ResponseHeader_TS),
                                                       buffers.response_data(), buffers.data_size());
  if (first <= 0) {
    show_exchange_error(report, "Ethernet_SendCommandReceiveResponse recv failed");
    return STATUS_CR_READ_FAILED;
  }
  constexpr auto header_size = static_cast<int64_t>(sizeof(ResponseHeader_TS));
  if (first < header_size && receive_exactly(header_bytes + first, static_cast<uint32_t>(header_size - first),
                                             ETHERNET_PIECE_WAIT_MS, deadline)) {
    show_exchange_error(report, "Ethernet_SendCommandReceiveResponse bytes_received != sizeof(ResponseHeader_TS)");
    return STATUS_CR_READ_FAILED;
  }
  arrived = first > header_size ? static_cast<uint32_t>(first - header_size) : 0;
  if (context.convert_headers) SwapHeaderByteOrder(header);
  const uint32_t returning = header->response_data_returning_size;
  const bool fits = response_fits(returning, capacity, ETHERNET_BUFFER_SIZE);
  const uint16_t chunk_size = header->dummy;

  if (chunk_size == EFI_RESPONSE_MARKER) {
    if (returning == 0) {
      show_exchange_error(report,
                          "Ethernet_SendCommandReceiveResponse pCRM->response_header->response_data_returning_size == 0");
      return 0;
    }
    if (receive_data(0, returning, deadline)) {
      show_exchange_error(report, "Ethernet_SendCommandReceiveResponse payload_transferred != pCRM->response_header->response_data_returning_size");
      return STATUS_CR_READ_FAILED;
    }
    if (!fits) return STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
    store_received_size(crm, returning);
    return 0;
  }

  if (chunk_size < sizeof(ResponseHeader_TS)) {
    report.always(ERROR_TITLE, TextWidth::narrow, "Ethernet_SendCommandReceiveResponse chunk size %u below 8",
                  static_cast<unsigned>(chunk_size));
    return STATUS_CR_READ_FAILED;
  }
  uint32_t remaining = returning;
  uint32_t received = 0;
  // A response shorter than one chunk comes as that one short chunk.
  uint32_t chunk = std::min<uint32_t>(remaining, chunk_size - sizeof(ResponseHeader_TS));
  while (remaining != 0) {
    if (receive_data(received, chunk, deadline)) {
      show_exchange_error(report, "Ethernet_SendCommandReceiveResponse recv failed");
      return STATUS_CR_READ_FAILED;
    }
    received += chunk;
    remaining -= chunk;
    if (remaining == 0) break;
    ResponseHeader_TS acknowledgement = *header;
    acknowledgement.response_data_returning_size = static_cast<uint16_t>(received + sizeof(ResponseHeader_TS));
    put_header(&acknowledgement, &acknowledgement, context.convert_headers);
    if (!send_all(&acknowledgement, sizeof acknowledgement)) {
      show_exchange_error(report, " Ethernet_SendCommandReceiveResponse send error");
      return STATUS_CR_WRITE_FAILED;
    }
    chunk = std::min<uint32_t>(remaining, chunk_size);
  }
  if (!fits) return STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
  store_received_size(crm, returning);
  return 0;
}

// Both parts are made before either changes, so a copy that cannot be made leaves the address as
// it was.
void EthernetLink::set_address(const char* new_host, const char* new_service) {
  std::string next_host = new_host ? new_host : ETHERNET_UNIT_ADDRESS;
  std::string next_service = new_host && new_service ? new_service : ETHERNET_UNIT_SERVICE;
  host.swap(next_host);
  service.swap(next_service);
}

uint32_t EthernetLink::initialize(const LinkContext& context, uint32_t, const char*) {
  if (Ethernet_CRInitialized) return 0;
  const Reporter& report = context.report;
  if (const uint32_t error = platform::start_sockets()) {
    report.always(ERROR_TITLE, TextWidth::narrow, "WSAStartup() failed with error code %ld\n", static_cast<long>(error));
    return LINK_FAILED;
  }
  platform::AddressList* addresses = nullptr;
  if (const int error = platform::resolve_tcp(host.c_str(), service.c_str(), addresses)) {
    print_line("getaddrinfo failed with error: %ld\n", static_cast<long>(error));
    platform::stop_sockets();
    return LINK_FAILED;
  }
  platform::Socket connected;
  for (size_t index = 0; index < platform::address_count(addresses); ++index) {
    platform::Socket candidate = platform::open_socket(addresses, index);
    if (!candidate) {
      print_line("socket failed with error: %ld\n", static_cast<long>(platform::last_socket_error()));
      break;
    }
    platform::set_no_delay(candidate);
    // The wait for a response header is the socket's own: its receive needs no look before it.
    if (platform::set_receive_wait(candidate, ETHERNET_HEADER_WAIT_MS) &&
        platform::connect_socket(candidate, addresses, index, ETHERNET_CONNECT_WAIT_MS)) {
      connected = std::move(candidate);
      break;
    }
  }
  platform::free_addresses(addresses);
  if (!connected) {
    print_line("Unable to connect to server!\n");
    platform::stop_sockets();
    return LINK_FAILED;
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

  received_now = 0;
  tracer = context.tracer;
  arrived = 0;
  // The response header gets the socket's own wait (ETHERNET_HEADER_WAIT_MS, well within this).
  const Deadline deadline(context.clock, EXCHANGE_LIMIT_MS);
  // Stray bytes behind an earlier answer belong to no command.
  context.discarded(platform::discard_socket_input(socket));
  const size_t message_size = sizeof(CommandHeader_TS) + command_size;
  uint32_t status = 0;
  if (!send_all(buffers.command_data(), message_size)) {
    show_exchange_error(report, " Ethernet_SendCommandReceiveResponse send error");
    status = STATUS_CR_WRITE_FAILED;
  } else {
    status = receive_response(context, crm, capacity, deadline);
  }
  // A connection that failed mid-exchange may still carry the rest of that answer: start over
  // on a fresh one at the next initialisation.
  if (status != 0 && status != STATUS_CR_RESPONSE_BUFFER_TOO_SMALL) drop_connection();

  // Everything back to the caller: never more response data than the caller's buffer holds, and
  // only bytes this exchange received.
  exchange.finish(std::min(capacity, received_now));
  return status;
}

}  // namespace efi
