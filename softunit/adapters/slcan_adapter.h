#pragma once

// A serial-line CAN adapter as a host sees one: ASCII commands and frame lines on a serial line
// (a pseudo-terminal; under Wine a pair of them joined by socat), frames on the virtual CAN bus.
// It answers as such adapters do: CR for a command carried out, "Z" (or "z") for a frame sent,
// BEL for anything refused, and one line per frame received while the channel is open.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus.h"
#include "channel.h"

namespace softunit {

class SlcanAdapter {
 public:
  // Joins the virtual bus on loopback `bus_port`.
  explicit SlcanAdapter(uint16_t bus_port);
  ~SlcanAdapter();
  // Why there is no adapter here (empty when there is one).
  std::string skip_reason() const;
  // The device the host opens as the adapter's port.
  std::string device_path() const { return endpoint_ ? endpoint_->device_path() : ""; }

  // The lines the host sent other than frames, oldest first, without their CR.
  std::vector<std::string> commands() const;
  size_t frames_sent() const { return frames_sent_; }
  bool channel_open() const { return open_; }
  char bit_rate() const { return bit_rate_; }

  // Ways of a poor or hostile adapter, for tests:
  // BEL for every command that begins with `letter` (0: none).
  void refuse_commands(char letter) { refused_letter_ = letter; }
  // BEL for the frame the host asks to send after `accepted` more frames (which then does not
  // reach the bus); -1: none.
  void refuse_frame(int accepted) { refuse_after_ = accepted; }
  // Noise and frames of other identifiers before each frame line to the host.
  void set_noise(bool noise) { noise_ = noise; }
  // Frame lines to the host one byte at a time, a millisecond apart.
  void set_drip(bool drip) { drip_ = drip; }
  // Answers nothing and passes no frames on.
  void set_silent(bool silent) { silent_ = silent; }
  // Answers a frame sent with CR alone, as some adapters do, instead of "Z".
  void set_bare_acknowledgements(bool bare) { bare_ = bare; }

 private:
  void serve();
  void carry_out(const std::string& line);
  void pass_on_frames();
  bool transmit(const std::string& line, bool extended);
  void write(const std::string& text, bool drip = false);

  std::unique_ptr<DeviceEndpoint> endpoint_;
  BusStation station_;
  bool joined_ = false;
  std::mutex write_mutex_;
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::atomic<bool> open_{false};
  std::atomic<bool> timestamps_{false};
  std::atomic<char> bit_rate_{0};
  std::atomic<size_t> frames_sent_{0};
  std::atomic<char> refused_letter_{0};
  std::atomic<int> refuse_after_{-1};
  std::atomic<bool> noise_{false}, drip_{false}, silent_{false}, bare_{false};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace softunit
