#include "slcan_adapter.h"

#include <chrono>
#include <cstdio>

namespace softunit {

namespace {

constexpr char OK[] = "\r";
constexpr char BELL[] = "\a";
// Longer lines than any command or frame are refused whole.
constexpr size_t LINE_LIMIT = 64;

bool hex_value(const std::string& text, size_t at, size_t digits, uint32_t& value) {
  if (at + digits > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    const char c = text[i];
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return true;
}

std::string frame_line(const BusFrame& frame, bool timestamp) {
  char text[48];
  int used = frame.kind == BUS_STANDARD ? std::snprintf(text, sizeof text, "t%03X%u", frame.id & 0x7FF, frame.length)
                                        : std::snprintf(text, sizeof text, "T%08X%u", frame.id & 0x1FFFFFFF, frame.length);
  for (unsigned i = 0; i < frame.length && i < 8; ++i)
    used += std::snprintf(text + used, sizeof text - used, "%02X", frame.data[i]);
  if (timestamp) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count() % 60000;
    used += std::snprintf(text + used, sizeof text - used, "%04X", static_cast<unsigned>(ms));
  }
  return std::string(text, used) + "\r";
}

}  // namespace

SlcanAdapter::SlcanAdapter(uint16_t bus_port) : endpoint_(DeviceEndpoint::create_serial_line()) {
  if (!endpoint_) return;
  joined_ = station_.join(bus_port, [this] { pass_on_frames(); });
  if (joined_) thread_ = std::thread([this] { serve(); });
}

SlcanAdapter::~SlcanAdapter() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  station_.leave();
}

std::string SlcanAdapter::skip_reason() const {
  if (!endpoint_) return "no pseudo-terminal for a serial line here";
  return joined_ ? "" : "the adapter could not join the virtual CAN bus";
}

std::vector<std::string> SlcanAdapter::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

void SlcanAdapter::write(const std::string& text, bool drip) {
  Stream* stream = endpoint_->wait_for_host(0);
  if (!stream) return;
  std::lock_guard lock(write_mutex_);
  if (!drip) {
    stream->write_all(text.data(), text.size());
    return;
  }
  for (char c : text) {
    stream->write_all(&c, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void SlcanAdapter::serve() {
  Stream* stream = endpoint_->wait_for_host(1000);
  std::string line;
  bool overlong = false;
  unsigned char bytes[256];
  while (!stopping_ && stream) {
    const int64_t n = stream->read_some(bytes, sizeof bytes, 100);
    if (n < 0) {
      // The host closed the line; the next host opens it afresh.
      endpoint_->reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    for (int64_t i = 0; i < n; ++i) {
      const char c = static_cast<char>(bytes[i]);
      if (c != '\r') {
        if (line.size() < LINE_LIMIT)
          line += c;
        else
          overlong = true;
        continue;
      }
      if (silent_) {
      } else if (overlong) {
        write(BELL);
      } else {
        carry_out(line);
      }
      line.clear();
      overlong = false;
    }
  }
}

void SlcanAdapter::carry_out(const std::string& line) {
  const char letter = line.empty() ? '\0' : line[0];
  const bool frame = letter == 'T' || letter == 't' || letter == 'R' || letter == 'r';
  if (!frame) {
    std::lock_guard lock(mutex_);
    commands_.push_back(line);
  }
  if (letter != '\0' && letter == refused_letter_) return write(BELL);
  switch (letter) {
    case '\0':
      return write(OK);
    case 'S':
      if (open_ || line.size() != 2 || line[1] < '0' || line[1] > '8') return write(BELL);
      bit_rate_ = line[1];
      return write(OK);
    case 's':
    case 'M':
    case 'm':
    case 'U':
    case 'X':
      return write(open_ ? BELL : OK);
    case 'O':
    case 'L':
      if (open_ || line.size() != 1) return write(BELL);
      open_ = true;
      return write(OK);
    case 'C':
      // Closing a closed channel is no error here.
      open_ = false;
      return write(OK);
    case 'Z':
      if (line.size() != 2 || (line[1] != '0' && line[1] != '1')) return write(BELL);
      timestamps_ = line[1] == '1';
      return write(OK);
    case 'V':
      return write("V1013\r");
    case 'v':
      return write("v0107\r");
    case 'N':
      return write("NEF01\r");
    case 'F':
      return write(open_ ? "F00\r" : BELL);
    case 'T':
    case 't':
      if (!transmit(line, letter == 'T')) return write(BELL);
      return write(bare_ ? OK : letter == 'T' ? "Z\r" : "z\r");
    default:
      return write(BELL);
  }
}

bool SlcanAdapter::transmit(const std::string& line, bool extended) {
  if (!open_) return false;
  if (refuse_after_ == 0) {
    refuse_after_ = -1;
    return false;
  }
  if (refuse_after_ > 0) --refuse_after_;
  const size_t id_digits = extended ? 8 : 3;
  uint32_t id = 0, length = 0;
  if (!hex_value(line, 1, id_digits, id) || !hex_value(line, 1 + id_digits, 1, length) || length > 8 ||
      line.size() != 2 + id_digits + 2 * length || id > (extended ? 0x1FFFFFFFu : 0x7FFu))
    return false;
  BusFrame frame;
  frame.id = id;
  frame.kind = extended ? BUS_EXTENDED : BUS_STANDARD;
  frame.length = static_cast<uint8_t>(length);
  for (uint32_t i = 0, value = 0; i < length; ++i) {
    if (!hex_value(line, 2 + id_digits + 2 * i, 2, value)) return false;
    frame.data[i] = static_cast<uint8_t>(value);
  }
  if (!station_.send(frame)) return false;
  ++frames_sent_;
  return true;
}

// Every frame heard on the bus goes to the host as a line while the channel is open; status
// reports of the bus have no line.
void SlcanAdapter::pass_on_frames() {
  BusFrame frame;
  while (station_.take(frame)) {
    if (!open_ || silent_ || frame.kind == BUS_STATUS) continue;
    if (noise_) write("\x01garbage\rV1013\rt1238DEADBEEF00000000\rT166666688FFFFFFFFFFFFFFFF\rT1666666\r");
    write(frame_line(frame, timestamps_), drip_);
  }
}

}  // namespace softunit
