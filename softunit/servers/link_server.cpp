#include "link_server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace softunit {

namespace {
// How long a server waits for the next piece of a command before it gives up on it.
constexpr int PIECE_TIMEOUT_MS = 2000;
constexpr int POLL_MS = 50;
constexpr uint32_t TRICKLE_PACE_MS = 100;

// Header and data as one message, the header in the unit's order when asked.
Bytes message_of(ResponseHeader_TS header, const Bytes& data, bool to_unit_order) {
  if (to_unit_order) header = swapped(header);
  Bytes bytes(sizeof header + data.size());
  std::memcpy(bytes.data(), &header, sizeof header);
  if (!data.empty()) std::memcpy(bytes.data() + sizeof header, data.data(), data.size());
  return bytes;
}

// Writes `bytes`, in pieces of `piece` bytes `pause` ms apart when piece is not 0.
bool send(Stream& stream, const Bytes& bytes, uint32_t piece, uint32_t pause = 20) {
  if (piece == 0) return stream.write_all(bytes.data(), bytes.size());
  for (size_t at = 0; at < bytes.size(); at += piece) {
    if (!stream.write_all(bytes.data() + at, std::min<size_t>(piece, bytes.size() - at))) return false;
    pause_ms(pause);
  }
  return true;
}

// Sends an answer as the fault says: whole, split, dripped, cut short (and then quiet), or with
// stray bytes behind it. False when the connection failed.
bool send_answer(Stream& stream, const Bytes& message, const LinkFault& fault) {
  using Kind = LinkFault::Kind;
  switch (fault.kind) {
    case Kind::split:
      return send(stream, message, fault.value);
    case Kind::drip:
      return send(stream, message, 1, fault.value);
    case Kind::stall:
      return stream.write_all(message.data(), std::min<size_t>(fault.value, message.size()));
    case Kind::trailing: {
      Bytes with_stray = message;
      with_stray.insert(with_stray.end(), fault.value, 0xEE);
      return stream.write_all(with_stray.data(), with_stray.size());
    }
    default:
      return stream.write_all(message.data(), message.size());
  }
}
}  // namespace

void LinkServer::set_observer(ExchangeObserver observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

Answer LinkServer::answer(const CommandHeader_TS& header, const Bytes& data, const LinkFault& fault) {
  using Kind = LinkFault::Kind;
  Answer response;
  if (fault.kind == Kind::status) {
    response.header.response_status = static_cast<uint16_t>(fault.value);
  } else if (fault.kind == Kind::answer) {
    // Given in host order, as the host receives it: it travels as the model's answers do.
    response.header.response_code = header.command_code;
    response.header.response_status = static_cast<uint16_t>(fault.value);
    const auto command = static_cast<uint8_t>(header.command_code - EFI_COMMAND_CODE_BASE);
    response.data = wire_host_order_ ? fault.data : response_data_to_unit_order(command, fault.data);
  } else {
    response = responder_(header, data);
  }
  if (fault.kind == Kind::oversize) response.data.assign(fault.value, 0x5A);
  ExchangeObserver observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (observer)
    observer({header, data.size(), fault.kind, fault.value, response.header.response_status, response.data.size()});
  return response;
}

void LinkServer::queue_fault(LinkFault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

std::vector<LinkServer::Received> LinkServer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

size_t LinkServer::received_count() const {
  std::lock_guard lock(mutex_);
  return received_count_;
}

LinkFault LinkServer::next_fault() {
  std::lock_guard lock(mutex_);
  if (faults_.empty()) return {};
  LinkFault fault = faults_.front();
  faults_.pop_front();
  return fault;
}

void LinkServer::record(const CommandHeader_TS& header, const Bytes& data) {
  std::lock_guard lock(mutex_);
  ++received_count_;
  if (keep_commands_) received_.push_back({header, data});
}

DeviceServer::DeviceServer(Responder responder, DeviceFraming framing)
    : LinkServer(std::move(responder)),
      framing_(framing),
      endpoint_(DeviceEndpoint::create()),
      thread_([this] { serve(); }) {}

DeviceServer::~DeviceServer() {
  stopping_ = true;
  thread_.join();
}

std::vector<Bytes> DeviceServer::announcements() const {
  std::lock_guard lock(mutex_);
  return announcements_;
}

void DeviceServer::serve() {
  while (!stopping_) {
    Stream* stream = endpoint_->wait_for_host(POLL_MS);
    if (!stream) continue;
    CommandHeader_TS header;
    const int64_t first = stream->read_some(&header, sizeof header, POLL_MS);
    if (first == 0) continue;
    if (first < 0) {
      endpoint_->reset();
      continue;
    }
    if (first < static_cast<int64_t>(sizeof header) &&
        !read_exact(*stream, reinterpret_cast<unsigned char*>(&header) + first, sizeof header - first,
                    PIECE_TIMEOUT_MS))
      continue;
    const bool unit_order = !wire_host_order_;
    if (unit_order) header = swapped(header);
    // A long command is announced by a 32-byte block carrying command 7's code and the data size
    // (a command that short needs no announcement, so the two cannot be confused).
    if (framing_ == DeviceFraming::usb && header.command_code == EFI_COMMAND_CODE_BASE + 7 &&
        header.command_data_size + sizeof header > 32 && header.response_buffer_size == 0) {
      Bytes block(32);
      const CommandHeader_TS as_sent = swapped(header);
      std::memcpy(block.data(), &as_sent, sizeof as_sent);
      if (!read_exact(*stream, block.data() + sizeof header, block.size() - sizeof header, PIECE_TIMEOUT_MS))
        continue;
      {
        std::lock_guard lock(mutex_);
        announcements_.push_back(block);
      }
      if (!read_exact(*stream, &header, sizeof header, PIECE_TIMEOUT_MS)) continue;
      if (unit_order) header = swapped(header);
    }
    Bytes data(header.command_data_size);
    if (!data.empty() && !read_exact(*stream, data.data(), data.size(), PIECE_TIMEOUT_MS)) continue;
    record(header, data);
    reply(*stream, header, data);
  }
}

void DeviceServer::reply(Stream& stream, const CommandHeader_TS& header, const Bytes& data) {
  const LinkFault fault = next_fault();
  using Kind = LinkFault::Kind;
  Answer response = answer(header, data, fault);
  if (fault.kind == Kind::silence) return;
  if (fault.kind == Kind::delay) pause_ms(fault.value);
  if (fault.kind == Kind::garbage) {
    stream.write_all(Bytes(fault.value, 0xEE).data(), fault.value);
    return;
  }
  if (fault.kind == Kind::trickle) {
    // A unit that never falls quiet while the host waits: no pause long enough to end a read.
    const unsigned char noise = 0xEE;
    for (uint32_t spent = 0; spent < fault.value && !stopping_; spent += TRICKLE_PACE_MS) {
      if (!stream.write_all(&noise, 1)) return;
      pause_ms(TRICKLE_PACE_MS);
    }
    return;
  }
  response.header.dummy = EFI_RESPONSE_MARKER;
  // A header with a bad marker comes alone: nothing after it can be trusted.
  if (fault.kind == Kind::bad_marker) {
    response.header.dummy = static_cast<uint16_t>(fault.value);
    response.data.clear();
  }
  response.header.response_data_returning_size = static_cast<uint16_t>(response.data.size());
  if (fault.kind == Kind::announce_more)
    response.header.response_data_returning_size = static_cast<uint16_t>(response.data.size() + fault.value);

  const Bytes message = message_of(response.header, response.data, !wire_host_order_);
  if (fault.kind == Kind::short_header) {
    stream.write_all(message.data(), std::min<size_t>(fault.value, sizeof(ResponseHeader_TS)));
    return;
  }
  send_answer(stream, message, fault);
}

TcpServer::TcpServer(Responder responder, const std::string& host, uint16_t port)
    : LinkServer(std::move(responder)), listener_(TcpListener::create(host, port)), thread_([this] { serve(); }) {}

TcpServer::~TcpServer() {
  stopping_ = true;
  thread_.join();
}

std::vector<ResponseHeader_TS> TcpServer::acknowledgements() const {
  std::lock_guard lock(mutex_);
  return acknowledgements_;
}

std::vector<std::string> TcpServer::complaints() const {
  std::lock_guard lock(mutex_);
  return complaints_;
}

void TcpServer::serve() {
  while (!stopping_) {
    std::unique_ptr<Stream> stream = listener_->accept(POLL_MS);
    if (!stream) continue;
    ++connections_;
    while (!stopping_ && exchange(*stream)) {
    }
  }
}

// One command and its answer; false when the connection is finished.
bool TcpServer::exchange(Stream& stream) {
  CommandHeader_TS header;
  int64_t first;
  while ((first = stream.read_some(&header, sizeof header, POLL_MS)) == 0)
    if (stopping_) return false;
  if (first < 0) return false;
  if (first < static_cast<int64_t>(sizeof header) &&
      !read_exact(stream, reinterpret_cast<unsigned char*>(&header) + first, sizeof header - first, PIECE_TIMEOUT_MS))
    return false;
  const bool unit_order = !wire_host_order_;
  if (unit_order) header = swapped(header);
  Bytes data(header.command_data_size);
  if (!data.empty() && !read_exact(stream, data.data(), data.size(), PIECE_TIMEOUT_MS)) return false;
  record(header, data);

  const LinkFault fault = next_fault();
  using Kind = LinkFault::Kind;
  Answer response = answer(header, data, fault);
  if (fault.kind == Kind::silence) return true;
  if (fault.kind == Kind::delay) pause_ms(fault.value);
  if (fault.kind == Kind::garbage) return stream.write_all(Bytes(fault.value, 0xEE).data(), fault.value);
  response.header.response_data_returning_size = static_cast<uint16_t>(response.data.size());
  if (fault.kind == Kind::announce_more)
    response.header.response_data_returning_size = static_cast<uint16_t>(response.data.size() + fault.value);
  const uint16_t chunk_size = fault.kind == Kind::chunk_size ? static_cast<uint16_t>(fault.value) : chunk_size_.load();
  response.header.dummy = chunk_size;
  if (fault.kind == Kind::bad_marker) response.header.dummy = static_cast<uint16_t>(fault.value);

  const Bytes header_only = message_of(response.header, {}, unit_order);
  if (fault.kind == Kind::short_header)
    return stream.write_all(header_only.data(), std::min<size_t>(fault.value, header_only.size()));
  const uint32_t piece = fault.kind == Kind::split ? fault.value : 0;
  if (chunk_size == EFI_RESPONSE_MARKER || chunk_size < sizeof(ResponseHeader_TS)) {
    const Bytes message = message_of(response.header, response.data, unit_order);
    if (fault.kind == Kind::close) {
      stream.write_all(message.data(), std::min<size_t>(fault.value, message.size()));
      return false;
    }
    return send_answer(stream, message, fault);
  }

  // Chunked: the first chunk travels with the header and is 8 bytes shorter; each later one
  // follows the host's acknowledgement of everything so far.
  size_t sent = 0;
  size_t chunk = std::min<size_t>(chunk_size - sizeof(ResponseHeader_TS), response.data.size());
  bool first_chunk = true;
  for (;;) {
    Bytes piece_bytes = first_chunk ? header_only : Bytes{};
    piece_bytes.insert(piece_bytes.end(), response.data.begin() + sent, response.data.begin() + sent + chunk);
    if ((fault.kind == Kind::close || fault.kind == Kind::stall) && sent + chunk >= fault.value) {
      piece_bytes.resize(piece_bytes.size() - (sent + chunk - fault.value));
      stream.write_all(piece_bytes.data(), piece_bytes.size());
      return fault.kind == Kind::stall;
    }
    if (!send(stream, piece_bytes, piece)) return false;
    sent += chunk;
    first_chunk = false;
    if (sent >= response.data.size()) return true;

    ResponseHeader_TS acknowledgement;
    if (!read_exact(stream, &acknowledgement, sizeof acknowledgement, PIECE_TIMEOUT_MS)) return false;
    if (unit_order) acknowledgement = swapped(acknowledgement);
    {
      std::lock_guard lock(mutex_);
      acknowledgements_.push_back(acknowledgement);
      ResponseHeader_TS expected = response.header;
      expected.response_data_returning_size = static_cast<uint16_t>(sent + sizeof(ResponseHeader_TS));
      if (std::memcmp(&expected, &acknowledgement, sizeof expected) != 0)
        complaints_.push_back("acknowledgement after " + std::to_string(sent) + " bytes is wrong");
    }
    chunk = std::min<size_t>(chunk_size, response.data.size() - sent);
  }
}

SerialServer::SerialServer(Responder responder)
    : LinkServer(std::move(responder)), endpoint_(DeviceEndpoint::create_serial_line()) {
  if (endpoint_) thread_ = std::thread([this] { serve(); });
}

SerialServer::~SerialServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void SerialServer::serve() {
  int pending = -1;  // a byte read while waiting for a closing byte that was none
  while (!stopping_) {
    Stream* stream = endpoint_->wait_for_host(POLL_MS);
    if (!stream) continue;
    unsigned char first = 0;
    if (pending >= 0) {
      first = static_cast<unsigned char>(pending);
      pending = -1;
    } else {
      const int64_t got = stream->read_some(&first, 1, POLL_MS);
      if (got < 0) endpoint_->reset();
      if (got <= 0) continue;
    }
    if (first == 0xC5) {
      ++connects_;
      const uint8_t reply = connect_reply_;
      wire_host_order_ = reply == 0xCC;
      if (reply != 0) stream->write_all(&reply, 1);
      continue;
    }
    if (first == 0xDC) {
      ++closing_bytes_;
      continue;
    }
    exchange(*stream, first, pending);
  }
}

void SerialServer::exchange(Stream& stream, unsigned char first, int& pending) {
  CommandHeader_TS header;
  auto* header_bytes = reinterpret_cast<unsigned char*>(&header);
  header_bytes[0] = first;
  if (!read_exact(stream, header_bytes + 1, sizeof header - 1, PIECE_TIMEOUT_MS)) return;
  const bool unit_order = !wire_host_order_;
  if (unit_order) header = swapped(header);
  Bytes data(header.command_data_size);
  if (!data.empty() && !read_exact(stream, data.data(), data.size(), PIECE_TIMEOUT_MS)) return;
  record(header, data);

  const LinkFault fault = next_fault();
  using Kind = LinkFault::Kind;
  Answer response = answer(header, data, fault);
  if (fault.kind == Kind::silence) return;
  if (fault.kind == Kind::delay) pause_ms(fault.value);
  response.header.dummy = EFI_RESPONSE_MARKER;
  response.header.response_data_returning_size = static_cast<uint16_t>(response.data.size());

  // The acknowledge byte and the answer go out together, so that a host that stops at a wrong
  // acknowledgement finds the rest waiting on its line.
  Bytes message{fault.kind == Kind::ack ? static_cast<unsigned char>(fault.value) : static_cast<unsigned char>(0xCD)};
  const Bytes answer_bytes = message_of(response.header, response.data, unit_order);
  if (fault.kind == Kind::short_header) {
    message.insert(message.end(), answer_bytes.begin(),
                   answer_bytes.begin() + std::min<size_t>(fault.value, answer_bytes.size()));
    stream.write_all(message.data(), message.size());
    return;
  }
  message.insert(message.end(), answer_bytes.begin(), answer_bytes.end());
  if (fault.kind == Kind::split_header) {
    const size_t first_piece = std::min<size_t>(1 + fault.value, message.size());
    if (!stream.write_all(message.data(), first_piece)) return;
    pause_ms(20);
    if (!stream.write_all(message.data() + first_piece, message.size() - first_piece)) return;
  } else if (!send_answer(stream, message, fault)) {
    return;
  }

  unsigned char closing = 0;
  const int64_t got = stream.read_some(&closing, 1, PIECE_TIMEOUT_MS);
  if (got != 1) return;
  if (closing != 0xDC) {
    pending = closing;
    return;
  }
  ++closing_bytes_;
  if (fault.kind == Kind::stale) {
    const Bytes noise(fault.value, 0xEE);
    stream.write_all(noise.data(), noise.size());
  }
}

}  // namespace softunit
