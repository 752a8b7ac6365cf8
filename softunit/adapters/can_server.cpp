// The unit on the virtual CAN bus: the hub the adapter stand-ins join, and the unit's side of the
// segmented exchange.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "bus.h"
#include "link_server.h"

namespace softunit {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t HOST_ID = 0x16666666;
constexpr uint32_t UNIT_ID = 0x16666667;
constexpr int FRAME_WAIT_MS = 1000;
// Just under the host's wait for a frame: each repeat keeps that wait from running out.
constexpr uint32_t FLOW_CONTROL_AGAIN_MS = 900;

bool from_host(const BusFrame& frame) { return frame.kind == BUS_EXTENDED && frame.id == HOST_ID; }

BusFrame unit_frame(std::initializer_list<uint8_t> bytes) {
  BusFrame frame;
  frame.id = UNIT_ID;
  std::copy(bytes.begin(), bytes.end(), frame.data);
  return frame;
}

}  // namespace

struct CanServer::Hub {
  struct Station {
    std::unique_ptr<Stream> stream;
    std::thread reader;
    std::atomic<bool> alive{true};
  };

  Hub(bool paced, uint16_t port) : listener(TcpListener::create("", port)), paced(paced) {
    acceptor = std::thread([this] { accept_stations(); });
  }
  ~Hub() {
    stopping = true;
    acceptor.join();
    for (auto& station : stations) station->reader.join();
  }

  void accept_stations() {
    while (!stopping) {
      std::unique_ptr<Stream> stream = listener->accept(100);
      if (!stream) continue;
      auto station = std::make_unique<Station>();
      station->stream = std::move(stream);
      Station* joined = station.get();
      std::lock_guard lock(stations_mutex);
      stations.push_back(std::move(station));
      joined->reader = std::thread([this, joined] { read_station(*joined); });
    }
  }

  void read_station(Station& station) {
    BusFrame frame;
    size_t got = 0;
    while (!stopping) {
      const int64_t n = station.stream->read_some(reinterpret_cast<unsigned char*>(&frame) + got, sizeof frame - got, 100);
      if (n < 0) break;
      got += static_cast<size_t>(n);
      if (got < sizeof frame) continue;
      got = 0;
      transmit(frame, &station);
    }
    station.alive = false;
  }

  // One frame on the bus: every station but its sender hears it, and the unit hears the stations.
  void transmit(const BusFrame& frame, const Station* sender) {
    note_sending();
    std::lock_guard bus(bus_mutex);
    if (paced) {
      const Clock::time_point now = Clock::now();
      if (bus_free > now) std::this_thread::sleep_until(bus_free);
      bus_free = std::max(now, bus_free) + std::chrono::microseconds(frame_time_us(frame));
    }
    {
      std::lock_guard lock(stations_mutex);
      for (auto& station : stations)
        if (station.get() != sender && station->alive) station->stream->write_all(&frame, sizeof frame);
    }
    if (sender) {
      std::lock_guard lock(inbox_mutex);
      inbox.push_back(frame);
      inbox_ready.notify_one();
    }
  }

  bool next(BusFrame& frame, int timeout_ms) {
    std::unique_lock lock(inbox_mutex);
    if (!inbox_ready.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return !inbox.empty(); }))
      return false;
    frame = inbox.front();
    inbox.pop_front();
    return true;
  }

  std::unique_ptr<TcpListener> listener;
  const bool paced;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::mutex stations_mutex;
  std::vector<std::unique_ptr<Station>> stations;
  std::mutex bus_mutex;
  Clock::time_point bus_free{};
  std::mutex inbox_mutex;
  std::condition_variable inbox_ready;
  std::deque<BusFrame> inbox;
};

CanServer::CanServer(Responder responder, bool paced, uint16_t port)
    : LinkServer(std::move(responder)), hub_(std::make_unique<Hub>(paced, port)) {
  thread_ = std::thread([this] { serve(); });
}

CanServer::~CanServer() {
  stopping_ = true;
  thread_.join();
  hub_.reset();
}

uint16_t CanServer::port() const { return hub_->listener->port(); }

void CanServer::publish_port() const { set_environment(CAN_BUS_VARIABLE, std::to_string(port()).c_str()); }

std::vector<std::array<uint8_t, 8>> CanServer::host_flow_controls() const {
  std::lock_guard lock(mutex_);
  return host_flow_controls_;
}

void CanServer::serve() {
  using Kind = LinkFault::Kind;
  Hub& hub = *hub_;
  // The host's next frame, skipping every other; false after `timeout_ms` without one.
  auto next_from_host = [&](BusFrame& frame, int timeout_ms) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0 || stopping_ || !hub.next(frame, static_cast<int>(left))) return false;
      ++frames_seen_;
      if (from_host(frame)) return true;
    }
  };
  auto send = [&](const BusFrame& frame, bool foreign) {
    if (foreign) {
      BusFrame other = unit_frame({0x21, 1, 2, 3});
      other.kind = BUS_STANDARD;
      other.id = 0x123;
      hub.transmit(other, nullptr);
      other.kind = BUS_EXTENDED;
      other.id = UNIT_ID + 1;
      hub.transmit(other, nullptr);
      other.kind = BUS_STATUS;
      other.id = 0;
      hub.transmit(other, nullptr);
    }
    hub.transmit(frame, nullptr);
  };

  // A first frame from the host ends whatever transfer the unit was in, as on a real bus; it
  // starts the next command.
  std::optional<BusFrame> restart;
  auto expect_from_host = [&](BusFrame& frame, uint8_t type) {
    if (!next_from_host(frame, FRAME_WAIT_MS)) return false;
    if ((frame.data[0] & 0xF0) == 0x10) restart = frame;
    return (frame.data[0] & 0xF0) == type;
  };

  while (!stopping_) {
    answering_ = false;
    BusFrame first;
    if (restart) {
      first = *restart;
      restart.reset();
    } else if (!hub.next(first, 100)) {
      continue;
    } else {
      ++frames_seen_;
    }
    if (!from_host(first) || (first.data[0] & 0xF0) != 0x10) continue;
    const size_t length = (first.data[0] & 0x0F) << 8 | first.data[1];
    if (length < 8) continue;
    const LinkFault fault = next_fault();
    answering_ = true;
    if (fault.kind == Kind::no_flow_control) continue;

    // The command: flow control as scripted, then consecutive frames in sequence.
    Bytes message(first.data + 2, first.data + 8);
    send(unit_frame({fault.kind == Kind::flow_control ? static_cast<uint8_t>(fault.value) : uint8_t{0x30},
                     fault.kind == Kind::block_size ? static_cast<uint8_t>(fault.value) : uint8_t{0}, 0}),
         false);
    uint8_t expected = 1;
    BusFrame frame;
    bool complete = true;
    while (message.size() < length) {
      if (!expect_from_host(frame, 0x20) || frame.data[0] != (0x20 | expected)) {
        complete = false;
        break;
      }
      expected = (expected + 1) & 0x0F;
      message.insert(message.end(), frame.data + 1, frame.data + 1 + std::min<size_t>(7, length - message.size()));
    }
    if (!complete) continue;
    CommandHeader_TS header;
    std::memcpy(&header, message.data(), sizeof header);
    header = swapped(header);
    const Bytes data(message.begin() + 8, message.end());
    record(header, data);

    Answer response = answer(header, data, fault);
    if (fault.kind == Kind::silence) continue;
    if (fault.kind == Kind::flow_control_again) {
      for (uint32_t spent = 0; spent < fault.value && !stopping_; spent += FLOW_CONTROL_AGAIN_MS) {
        pause_ms(FLOW_CONTROL_AGAIN_MS);
        send(unit_frame({0x30, 0, 0}), false);
      }
      continue;
    }
    if (fault.kind == Kind::delay) pause_ms(fault.value);
    // The header may announce more data than the frames will carry.
    const size_t announced = response.data.size() + (fault.kind == Kind::announce_more ? fault.value : 0);
    response.header.response_data_returning_size = static_cast<uint16_t>(announced);
    response.header.dummy = EFI_RESPONSE_MARKER;
    ResponseHeader_TS wire = swapped(response.header);
    Bytes answer_bytes(sizeof wire);
    std::memcpy(answer_bytes.data(), &wire, sizeof wire);
    answer_bytes.insert(answer_bytes.end(), response.data.begin(), response.data.end());
    if (answer_bytes.size() > 0xFFF) answer_bytes.resize(0xFFF);

    // The answer: first frame, the host's flow control, consecutive frames in the host's blocks.
    const size_t declared = fault.kind == Kind::declared_length ? fault.value : answer_bytes.size();
    const bool foreign = fault.kind == Kind::foreign_frames;
    BusFrame out = unit_frame({static_cast<uint8_t>(fault.kind == Kind::not_first_frame ? 0x21 : 0x10 | declared >> 8),
                               static_cast<uint8_t>(declared)});
    std::copy(answer_bytes.begin(), answer_bytes.begin() + 6, out.data + 2);
    send(out, foreign);
    if (!expect_from_host(frame, 0x30)) continue;
    {
      std::lock_guard lock(mutex_);
      host_flow_controls_.push_back(std::to_array(frame.data));
    }
    uint8_t block_size = frame.data[1];
    unsigned in_block = 0;
    for (size_t at = 6, k = 1; at < answer_bytes.size(); at += 7, ++k) {
      if (block_size != 0 && in_block == block_size) {
        if (!expect_from_host(frame, 0x30)) break;
        block_size = frame.data[1];
        in_block = 0;
      }
      out = unit_frame({static_cast<uint8_t>(0x20 | (k & 0x0F))});
      if (fault.kind == Kind::wrong_sequence && k == fault.value) out.data[0] = 0x20 | ((k + 1) & 0x0F);
      std::copy(answer_bytes.begin() + at, answer_bytes.begin() + std::min(at + 7, answer_bytes.size()), out.data + 1);
      ++in_block;
      if (fault.kind == Kind::missing_frame && k == fault.value) continue;
      if (fault.kind == Kind::frame_gap) {
        if (stopping_) break;
        pause_ms(fault.value);
      }
      send(out, foreign);
    }
  }
}

}  // namespace softunit
