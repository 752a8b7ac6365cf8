#pragma once

// Link servers: the software unit behind a real channel, speaking one link's framing, with
// faults that tests script one exchange at a time.

#include <efilink/efilink.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "channel.h"
#include "unit.h"

namespace softunit {

// What the unit answers: the header in host order, the data exactly as they go on the line.
struct Answer {
  ResponseHeader_TS header{};
  Bytes data;
};

// Produces the unit's answer to a command: header in host order, data as they came off the line.
using Responder = std::function<Answer(const CommandHeader_TS& header, const Bytes& data)>;

// One exchange's deviation from a correct answer. Each queued fault applies to the next command.
// This is the unit's one fault vocabulary: tests queue faults directly, the unit program reads
// them from a script by the names of fault_name().
struct LinkFault {
  enum class Kind {
    none,
    answer,           // answer with `value` as response_status and `data` (host order) as data
    status,           // answer with `value` as response_status and no data
    bad_marker,       // header with dummy `value` instead of 0x55AA
    announce_more,    // announce `value` more data bytes than are sent, then go quiet
    oversize,         // answer `value` bytes of data (beyond what the host can take)
    short_header,     // send only `value` header bytes, then go quiet
    split,            // send the answer in pieces of `value` bytes, 20 ms apart
    delay,            // wait `value` ms before answering
    silence,          // read the command, answer nothing
    garbage,          // answer `value` bytes of 0xEE instead of a header
    close,            // close the connection after `value` bytes of the answer (TCP)
    stall,            // send `value` bytes of the answer, then go quiet and keep the line open
    chunk_size,       // chunked answer with `value` as chunk size (TCP)
    ack,              // acknowledge the command with the byte `value` instead of 0xCD (serial)
    split_header,     // the first `value` bytes, the rest 20 ms later (serial)
    stale,            // after the closing byte, `value` bytes of 0xEE nobody asked for (serial)
    trailing,         // a correct answer followed by `value` stray bytes of 0xEE
    drip,             // the answer one byte at a time, `value` ms apart
    trickle,          // instead of an answer, a byte of 0xEE every 100 ms for `value` ms (device links)
    // CAN bus only:
    flow_control,     // the unit's flow control for the command carries `value` as byte 0
    block_size,       // the unit asks for blocks of `value` frames
    no_flow_control,  // the unit takes the command's first frame and then stays silent
    not_first_frame,  // the answer begins with a consecutive frame
    declared_length,  // the answer's first frame declares `value` as its length
    wrong_sequence,   // consecutive frame number `value` of the answer carries a wrong number
    missing_frame,    // consecutive frame number `value` of the answer is left out
    foreign_frames,   // frames on other identifiers and status frames between the answer's frames
    flow_control_again,  // after the command, flow control again every 900 ms for `value` ms, no answer
    frame_gap,        // the answer's consecutive frames `value` ms apart
  };
  LinkFault() = default;
  LinkFault(Kind kind, uint32_t value = 0, Bytes data = {}) : kind(kind), value(value), data(std::move(data)) {}
  Kind kind = Kind::none;
  uint32_t value = 0;
  Bytes data;  // `answer` only
};

// A fault's name in scripts and logs ("none", "answer", "status", ... as the enumerators read),
// and the kind a name stands for.
const char* fault_name(LinkFault::Kind kind);
std::optional<LinkFault::Kind> fault_kind(std::string_view name);

// A script of faults, one line per exchange in the order the commands arrive (softunit/README.md):
// `<fault> [value]` or `answer <status> [hex data]`; blank lines and `#` comments are skipped.
// Throws std::invalid_argument naming the line of the first mistake.
std::vector<LinkFault> parse_fault_script(std::string_view text);

// What the unit made of one command, for a log: the command as it arrived, the fault that shaped
// the answer, and the answer before the link's framing (header in host order).
struct ExchangeNote {
  CommandHeader_TS header;
  size_t command_bytes;
  LinkFault::Kind fault;
  uint32_t fault_value;
  uint16_t response_status;
  size_t response_bytes;
};
using ExchangeObserver = std::function<void(const ExchangeNote&)>;

// Common part of the servers: the responder, the fault queue and a record of what arrived.
class LinkServer {
 public:
  explicit LinkServer(Responder responder) : responder_(std::move(responder)) {}
  virtual ~LinkServer() = default;

  void queue_fault(LinkFault fault);
  // Commands received so far (header in host order as decoded by the server, data as received).
  struct Received {
    CommandHeader_TS header;
    Bytes data;
  };
  std::vector<Received> received() const;
  size_t received_count() const;
  // Keep only the count of commands, not their bytes (for long runs such as benchmarks).
  void keep_commands(bool keep) { keep_commands_ = keep; }
  // Headers on the line in host order, as a unit that agreed to no conversion (on the links that
  // then send headers as they are).
  void set_wire_host_order(bool host_order) { wire_host_order_ = host_order; }
  // Called on the server's thread for every command answered (or left unanswered by a fault).
  void set_observer(ExchangeObserver observer);

 protected:
  LinkFault next_fault();
  void record(const CommandHeader_TS& header, const Bytes& data);
  // The answer to a command as `fault` shapes its content (status, answer, oversize); the
  // responder's otherwise. Tells the observer.
  Answer answer(const CommandHeader_TS& header, const Bytes& data, const LinkFault& fault);

  mutable std::mutex mutex_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> wire_host_order_{false};

 private:
  Responder responder_;
  ExchangeObserver observer_;
  std::deque<LinkFault> faults_;
  std::vector<Received> received_;
  size_t received_count_ = 0;
  std::atomic<bool> keep_commands_{true};
};

// How the unit behind a device file frames an exchange.
enum class DeviceFraming {
  usb,        // a long command is announced by a 32-byte block first
  bluetooth,  // header and data only, however the host cuts them into writes
};

// The unit behind a device file opened by the library's USB or Bluetooth link: a pseudo-terminal
// (POSIX) or a named pipe (Windows).
class DeviceServer : public LinkServer {
 public:
  explicit DeviceServer(Responder responder, DeviceFraming framing = DeviceFraming::usb);
  ~DeviceServer() override;
  std::string device_path() const { return endpoint_->device_path(); }
  // Announcement blocks received (32 bytes each).
  std::vector<Bytes> announcements() const;

 private:
  void serve();
  void reply(Stream& stream, const CommandHeader_TS& header, const Bytes& data);
  DeviceFraming framing_;
  std::unique_ptr<DeviceEndpoint> endpoint_;
  std::vector<Bytes> announcements_;
  std::thread thread_;
};

// The unit on loopback TCP, as the library's Ethernet link reaches it. Answers in one piece, or
// in chunks of `chunk_size` when that is not 0x55AA, and checks each acknowledgement.
class TcpServer : public LinkServer {
 public:
  // Listens on `host` ("" for loopback) and `port` (0 for any free one); port() is 0 when it
  // could not.
  explicit TcpServer(Responder responder, const std::string& host = "", uint16_t port = 0);
  ~TcpServer() override;
  uint16_t port() const { return listener_->port(); }
  void set_chunk_size(uint16_t chunk_size) { chunk_size_ = chunk_size; }
  // Acknowledgements received, in host order.
  std::vector<ResponseHeader_TS> acknowledgements() const;
  // Problems seen in the host's behaviour (a wrong acknowledgement), empty when none.
  std::vector<std::string> complaints() const;
  size_t connections() const { return connections_; }

 private:
  void serve();
  bool exchange(Stream& stream);
  std::unique_ptr<TcpListener> listener_;
  std::atomic<uint16_t> chunk_size_{EFI_RESPONSE_MARKER};
  std::atomic<size_t> connections_{0};
  std::vector<ResponseHeader_TS> acknowledgements_;
  std::vector<std::string> complaints_;
  std::thread thread_;
};

// The unit on the virtual CAN bus (softunit/adapters/bus.h): runs the hub on loopback TCP, which
// the adapter stand-ins join, and answers segmented commands on 0x16666666 with segmented
// answers on 0x16666667. Headers travel in the unit's order.
class CanServer : public LinkServer {
 public:
  // `paced`: the hub lets frames pass no faster than a 500 kbit/s bus would. The hub listens on
  // loopback `port` (0: any free one; port() is 0 when it could not).
  explicit CanServer(Responder responder, bool paced = false, uint16_t port = 0);
  ~CanServer() override;
  uint16_t port() const;
  // Sets EFILINK_CAN_BUS in this process's environment, for stand-ins loaded here.
  void publish_port() const;
  // Frames the unit has seen on the bus (every identifier), and the flow-control frames the host
  // sent for answers (their eight data bytes).
  size_t frames_seen() const { return frames_seen_; }
  std::vector<std::array<uint8_t, 8>> host_flow_controls() const;
  // The unit is busy with a command: taking it, or sending its answer (however slowly a fault
  // makes it), whether or not the host still waits for it.
  bool answering() const { return answering_; }

 private:
  struct Hub;
  void serve();
  std::unique_ptr<Hub> hub_;
  std::atomic<size_t> frames_seen_{0};
  std::atomic<bool> answering_{false};
  std::vector<std::array<uint8_t, 8>> host_flow_controls_;
  std::thread thread_;
};

// The unit behind a serial line, as the serial links reach it: a pseudo-terminal natively, a pair
// of them joined by socat under Wine. It answers the connection indicator, acknowledges every
// command before its answer and expects the host's closing byte after each answer.
class SerialServer : public LinkServer {
 public:
  explicit SerialServer(Responder responder);
  ~SerialServer() override;
  // Why there is no line here (empty when there is one).
  std::string skip_reason() const { return endpoint_ ? "" : "no pseudo-terminal for a serial line here"; }
  // The device the host opens.
  std::string device_path() const { return endpoint_ ? endpoint_->device_path() : ""; }
  // The answer to the connection indicator: 0xC5 (conversion on), 0xCC (off: headers travel in
  // host order from then on), anything else, or 0 for none.
  void set_connect_reply(uint8_t reply) { connect_reply_ = reply; }
  size_t connects() const { return connects_; }
  size_t closing_bytes() const { return closing_bytes_; }

 private:
  void serve();
  void exchange(Stream& stream, unsigned char first, int& pending);
  std::unique_ptr<DeviceEndpoint> endpoint_;
  std::atomic<uint8_t> connect_reply_{0xC5};
  std::atomic<size_t> connects_{0};
  std::atomic<size_t> closing_bytes_{0};
  std::thread thread_;
};

}  // namespace softunit
