#include "bus.h"

#include <cstdlib>

namespace softunit {

namespace {
// Frames a station holds before it loses the oldest, like an adapter's receive buffer.
constexpr size_t QUEUE_LIMIT = 4096;
}  // namespace

void set_environment(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value : "");
#else
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

uint32_t frame_time_us(const BusFrame& frame) {
  // Extended frame: 67 bits of frame around the data, one in five stuffed, 3 bits of space.
  const uint32_t bits = (frame.kind == BUS_STANDARD ? 47u : 67u) + 8u * frame.length;
  return (bits + bits / 5 + 3) * 2;
}

bool BusStation::join(std::function<void()> arrived) {
  const char* port = std::getenv(CAN_BUS_VARIABLE);
  if (!port || !*port) return false;
  return join(static_cast<uint16_t>(std::atoi(port)), std::move(arrived));
}

bool BusStation::join(uint16_t port, std::function<void()> arrived) {
  leave();
  stream_ = connect_loopback(port);
  if (!stream_) return false;
  arrived_ = std::move(arrived);
  stopping_ = false;
  thread_ = std::thread([this] { receive(); });
  return true;
}

void BusStation::leave() {
  if (!stream_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (thread_.joinable()) thread_.join();
  stream_.reset();
  std::lock_guard lock(mutex_);
  queue_.clear();
  keep_ = nullptr;
}

bool BusStation::send(const BusFrame& frame) {
  std::lock_guard lock(send_mutex_);
  return stream_ && stream_->write_all(&frame, sizeof frame);
}

bool BusStation::take(BusFrame& frame) {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return false;
  frame = queue_.front();
  queue_.pop_front();
  return true;
}

size_t BusStation::waiting() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void BusStation::filter(std::function<bool(const BusFrame&)> keep) {
  std::lock_guard lock(mutex_);
  keep_ = std::move(keep);
}

void BusStation::receive() {
  BusFrame frame;
  size_t got = 0;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    const int64_t n = stream_->read_some(reinterpret_cast<unsigned char*>(&frame) + got, sizeof frame - got, 100);
    if (n < 0) return;
    got += static_cast<size_t>(n);
    if (got < sizeof frame) continue;
    got = 0;
    {
      std::lock_guard lock(mutex_);
      if (keep_ && !keep_(frame)) continue;
      if (queue_.size() == QUEUE_LIMIT) queue_.pop_front();
      queue_.push_back(frame);
    }
    if (arrived_) arrived_();
  }
}

}  // namespace softunit
