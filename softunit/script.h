#pragma once

// Scripted exchanges for link servers: a queue of steps, each of which shapes the unit's reply to
// one command (an exact reply, a refusal, a broken header, a reply cut or spread over time, or
// none at all). A server asks the script for the plan of each command and carries it out.

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "unit.h"

namespace softunit {

struct Step {
  enum class Kind {
    exact,        // send `bytes` verbatim instead of the unit's reply
    status,       // reply with response_status `value` and no data
    bad_marker,   // the unit's reply with `value` in the header's dummy instead of 0x55AA
    oversize,     // announce and send `value` bytes of data, whatever the host's buffer holds
    short_write,  // only the first `value` bytes of the unit's reply, then nothing
    split,        // the unit's reply in writes of `value` bytes, SPLIT_PAUSE_MS apart
    delay,        // the unit's reply after `value` ms
    silence,      // no reply at all
    garbage,      // `value` bytes of GARBAGE_BYTE instead of a reply
  };
  Kind kind = Kind::exact;
  uint32_t value = 0;
  Bytes bytes;

  static Step exact_reply(Bytes bytes) { return {Kind::exact, 0, std::move(bytes)}; }
  static Step with_status(uint16_t status) { return {Kind::status, status, {}}; }
  static Step with_marker(uint16_t marker) { return {Kind::bad_marker, marker, {}}; }
  static Step oversized(uint32_t data_size) { return {Kind::oversize, data_size, {}}; }
  static Step cut_after(uint32_t bytes) { return {Kind::short_write, bytes, {}}; }
  static Step in_pieces(uint32_t piece) { return {Kind::split, piece, {}}; }
  static Step after(uint32_t milliseconds) { return {Kind::delay, milliseconds, {}}; }
  static Step no_reply() { return {Kind::silence, 0, {}}; }
  static Step noise(uint32_t bytes) { return {Kind::garbage, bytes, {}}; }
};

inline constexpr uint32_t SPLIT_PAUSE_MS = 20;
inline constexpr unsigned char GARBAGE_BYTE = 0xEE;
inline constexpr unsigned char OVERSIZE_BYTE = 0x5A;

// One write of a reply, made after waiting `pause_ms`.
struct Write {
  uint32_t pause_ms = 0;
  Bytes bytes;
};

// What a server sends for one command; no writes means silence.
struct Plan {
  std::vector<Write> writes;
  Bytes all_bytes() const;
};

// A queue of steps that several threads may use: a test queues, a server's thread consumes.
class Script {
 public:
  void push(Step step);
  size_t pending() const;
  void clear();

  // Consumes the front step, if any, and shapes the unit's reply to this command with it; with
  // no step queued the reply goes out whole. Header and data are in host order; the reply is
  // laid out in `order`.
  Plan plan(const Unit& unit, const CommandHeader_TS& header, const unsigned char* data, size_t size,
            ByteOrder order);

 private:
  mutable std::mutex mutex_;
  std::deque<Step> steps_;
};

}  // namespace softunit
