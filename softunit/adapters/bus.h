#pragma once

// The virtual CAN bus: a hub on loopback TCP that the software unit runs, and stations (the
// adapter stand-ins) that join it. Every frame a station sends reaches every other station and
// the unit, as on a real bus. The hub's port is in the environment variable EFILINK_CAN_BUS.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "channel.h"

namespace softunit {

inline constexpr const char* CAN_BUS_VARIABLE = "EFILINK_CAN_BUS";

enum BusFrameKind : uint8_t {
  BUS_STANDARD = 0,  // 11-bit identifier
  BUS_EXTENDED = 1,  // 29-bit identifier
  BUS_STATUS = 2,    // a controller's status report, no data frame
};

// One frame as it travels between hub and stations: 16 bytes, identifier little-endian.
struct BusFrame {
  uint32_t id = 0;
  uint8_t kind = BUS_EXTENDED;
  uint8_t length = 8;
  uint8_t reserved[2] = {};
  uint8_t data[8] = {};
};
static_assert(sizeof(BusFrame) == 16);

// Sets (or with null removes) a variable of this process's environment, where stand-ins loaded
// into it look.
void set_environment(const char* name, const char* value);

// Wire time of a frame at 500 kbit/s with worst-case bit stuffing, in microseconds.
uint32_t frame_time_us(const BusFrame& frame);

// A station's connection to the hub: frames sent, and frames received queued for taking.
class BusStation {
 public:
  ~BusStation() { leave(); }
  // Joins the hub at the port EFILINK_CAN_BUS names; false when it is unset or nobody listens.
  // `arrived` runs on the station's receive thread after each frame is queued.
  bool join(std::function<void()> arrived = {});
  // Joins the hub on loopback `port`.
  bool join(uint16_t port, std::function<void()> arrived = {});
  void leave();
  bool joined() const { return stream_ != nullptr; }
  bool send(const BusFrame& frame);
  // The oldest received frame; false when none waits.
  bool take(BusFrame& frame);
  // Received frames not taken yet.
  size_t waiting();
  // Drops every received frame that `keep` refuses (an acceptance filter), from now on.
  void filter(std::function<bool(const BusFrame&)> keep);

 private:
  void receive();
  std::unique_ptr<Stream> stream_;
  std::thread thread_;
  std::mutex mutex_;
  std::mutex send_mutex_;
  std::deque<BusFrame> queue_;
  std::function<void()> arrived_;
  std::function<bool(const BusFrame&)> keep_;
  bool stopping_ = false;
};

}  // namespace softunit
