#include "transports/can/slcan_link.h"

#include <algorithm>
#include <cstring>

#include "platform/system_error.h"
#include "protocol/status.h"

namespace efi {

namespace {

// Close whatever channel the adapter has open, 500 kbit/s, open: each answered by CR.
constexpr const char* OPENING_COMMANDS[] = {"C\r", "S6\r", "O\r"};
constexpr const char* CLOSE_COMMAND = "C\r";

// "COM7" is a port name, looked up where the system keeps ports; anything with a path in it is
// opened as it is.
std::string port_path(const std::string& name) {
  if (name.find_first_of("/\\:") != std::string::npos) return name;
  return platform::serial_port_path(name);
}

}  // namespace

bool parse_slcan_port(const char* text, SlcanPort& port) {
  port = SlcanPort{};
  if (!text) return false;
  std::string name = text;
  // A rate is the digits after the last colon; a colon of a drive ("Z:\dev\...") is followed by
  // something else.
  const size_t colon = name.rfind(':');
  if (colon != std::string::npos && colon + 1 < name.size() && name.size() - colon - 1 <= 9 &&
      name.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    port.baud_rate = static_cast<uint32_t>(std::stoul(name.substr(colon + 1)));
    name.resize(colon);
  }
  port.name = name;
  return !port.name.empty() && port.baud_rate != 0;
}

uint32_t SlcanLink::initialize(const LinkContext& context, uint32_t, const char* text) {
  if (ready_) return 0;
  clock_ = context.clock;
  SlcanPort where;
  if (!parse_slcan_port(text, where)) {
    context.report.error(TextWidth::narrow, "SlcanInitializeInterfaces: no adapter port named (\"%s\")",
                         text ? text : "");
    return STATUS_CR_NOT_CONNECTED;
  }
  const std::string path = port_path(where.name);
  port_ = platform::open_serial_port(path.c_str());
  if (!port_) {
    context.report.error(TextWidth::narrow, "SlcanInitializeInterfaces: cannot open %s, error %08x", path.c_str(),
                         platform::last_error());
    return STATUS_CR_NOT_CONNECTED;
  }
  platform::SerialSettings line;
  line.baud_rate = where.baud_rate;
  if (!platform::configure_serial_port(port_, line)) {
    const uint32_t error = platform::last_error();
    port_.reset();
    context.report.error(TextWidth::narrow, "SlcanInitializeInterfaces: %s refuses %u baud, error %08x",
                         path.c_str(), where.baud_rate, error);
    return STATUS_CR_NOT_CONNECTED;
  }
  platform::purge_serial_port(port_, true, true);
  reader_.reset();
  incoming_at_ = incoming_end_ = 0;
  owed_answers_ = 0;
  for (const char* each : OPENING_COMMANDS) {
    if (!command(each)) {
      port_.reset();
      context.report.error(TextWidth::narrow, "SlcanInitializeInterfaces: the adapter on %s refused or did not answer %c",
                           path.c_str(), each[0]);
      return STATUS_CR_NOT_CONNECTED;
    }
  }
  ready_ = true;
  return 0;
}

uint32_t SlcanLink::close(const LinkContext&, uint32_t) {
  if (!ready_) return 0;
  // The answer is awaited so that the command is out before the port goes; a refusal changes
  // nothing.
  command(CLOSE_COMMAND);
  port_.reset();
  ready_ = false;
  return 0;
}

uint32_t SlcanLink::send(const LinkContext& context, CRM* crm) {
  if (ready_) {
    // A line a failed exchange left half read is of no use now; nor are answers still owed to it.
    context.discarded(reader_.reset());
    owed_answers_ = 0;
  }
  return can_exchange(*this, context.clock, context.report, crm, context.tracer);
}

SlcanLink::Arrival SlcanLink::read_until(const Deadline& deadline) {
  incoming_at_ = incoming_end_ = 0;
  int64_t waiting = platform::serial_bytes_waiting(port_);
  if (waiting < 0) return Arrival::failed;
  uint32_t got = 0;
  if (waiting == 0) {
    const uint32_t left_ms = deadline.remaining_ms();
    if (left_ms == 0) return Arrival::timed_out;
    // A read of one byte ends as soon as the port has it; whatever came with it is taken next.
    const platform::Transfer first = platform::read_serial(port_, incoming_.data(), 1, {left_ms, 0});
    if (!first.ok) return platform::is_timeout(platform::last_error()) ? Arrival::timed_out : Arrival::failed;
    if (first.count == 0) return Arrival::failed;  // the line is gone
    got = first.count;
    waiting = platform::serial_bytes_waiting(port_);
    if (waiting < 0) return Arrival::failed;
  }
  if (waiting > 0) {
    const auto size = static_cast<uint32_t>(std::min<int64_t>(waiting, static_cast<int64_t>(incoming_.size() - got)));
    const platform::Transfer rest = platform::read_serial(port_, incoming_.data() + got, size, {SLCAN_COMMAND_WAIT_MS, 0});
    if (!rest.ok) return Arrival::failed;
    got += rest.count;
  }
  incoming_end_ = got;
  return got > 0 ? Arrival::bytes : Arrival::failed;
}

bool SlcanLink::next_line(const Deadline& deadline, SlcanLine& line, bool& failed) {
  failed = false;
  for (;;) {
    while (incoming_at_ < incoming_end_) {
      bool complete = false;
      incoming_at_ += reader_.take(incoming_.data() + incoming_at_, incoming_end_ - incoming_at_, line, complete);
      if (complete) return true;
    }
    const Arrival arrival = read_until(deadline);
    if (arrival == Arrival::bytes) continue;
    failed = arrival == Arrival::failed;
    return false;
  }
}

bool SlcanLink::command(const char* text) {
  const auto size = static_cast<uint32_t>(std::strlen(text));
  const platform::Transfer written = platform::write_serial(port_, text, size, {SLCAN_COMMAND_WAIT_MS, 0});
  if (!written.ok || written.count != size) return false;
  const Deadline deadline(clock_, SLCAN_COMMAND_WAIT_MS);
  SlcanLine line;
  bool failed = false;
  // Frames of a channel still open, and the answers to its transmits, may come first.
  while (next_line(deadline, line, failed)) {
    if (line.kind == SlcanLine::Kind::done) return true;
    if (line.kind == SlcanLine::Kind::bell) return false;
  }
  return false;
}

uint32_t SlcanLink::write_frames(uint16_t slot, uint16_t& count) {
  const uint16_t frames = std::min<uint16_t>(count, static_cast<uint16_t>(CAN_TABLE_SLOTS - slot));
  for (uint16_t i = 0; i < frames; ++i)
    slcan_format_frame(CAN_HOST_IDENTIFIER, transmit_[slot + i].data(), outgoing_.data() + i * SLCAN_FRAME_TEXT_SIZE);
  const auto size = static_cast<uint32_t>(frames * SLCAN_FRAME_TEXT_SIZE);
  const platform::Transfer written = platform::write_serial(port_, outgoing_.data(), size);
  if (!written.ok || written.count != size) return LINK_FAILED;
  owed_answers_ += frames;
  count = frames;
  return 0;
}

uint32_t SlcanLink::write_flow_control(uint8_t block_size) {
  transmit_[0][0] = CAN_FLOW_CONTROL;
  transmit_[0][1] = block_size;
  uint16_t one = 1;
  return write_frames(0, one);
}

// Places the unit's frames as their lines come in; answers to the link's own transmits are
// counted off, and everything else is passed over. Returns with what it has once a read brought
// at least one frame, without taking a byte of the line after the last frame placed.
uint32_t SlcanLink::read_frames(uint16_t& count, uint32_t wait_ms) {
  const Deadline deadline(clock_, wait_ms);
  const Deadline at_once(clock_, 0);
  uint16_t placed = 0;
  SlcanLine line;
  bool failed = false;
  while (placed < count) {
    // With frames placed, only lines already read are looked at: no further wait.
    if (placed > 0 && incoming_at_ == incoming_end_) break;
    if (!next_line(placed > 0 ? at_once : deadline, line, failed)) {
      if (failed) return LINK_FAILED;
      break;
    }
    switch (line.kind) {
      case SlcanLine::Kind::frame:
        if (line.identifier == CAN_UNIT_IDENTIFIER) std::memcpy(receive_[placed++].data(), line.data, 8);
        break;
      case SlcanLine::Kind::transmitted:
      case SlcanLine::Kind::done:
        if (owed_answers_ > 0) --owed_answers_;
        break;
      case SlcanLine::Kind::bell:
        // The adapter refused a frame of this exchange: the unit will not hear the rest of it.
        if (owed_answers_ > 0) {
          owed_answers_ = 0;
          count = placed;
          return LINK_FAILED;
        }
        break;
      default:
        break;
    }
  }
  count = placed;
  return 0;
}

}  // namespace efi
