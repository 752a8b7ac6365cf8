#pragma once

// Exchange traces: one line per exchange with the bytes that went over the link, and for the CAN
// links every frame in a second file in the candump log format. The api layer owns the tracer and
// brackets each exchange with begin and end; links add what only they see (bytes thrown away to
// get back in step, CAN frames) through their LinkContext. One exchange runs at a time (the host
// serialises its calls), so the tracer takes no lock. A write that fails is ignored: tracing never
// changes an exchange's result.
//
// Exchange line (fields separated by one space):
//   <UTC time of its start, ISO 8601 with microseconds> <link> command=0xNN sent=<bytes> received=<bytes>
//   status=0xNNNNNNNN us=<microseconds> discarded=<bytes> out=<header>:<data> in=<header>:<data>
// Headers are shown most-significant byte first, as the unit keeps them, whatever order the link
// carried them in; data as they went over the link. `in=-` when no response header arrived;
// `status` is what EfiSendCommand returns (the link's status, else the unit's response_status).

#include <efilink/efilink.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/log_file.h"

namespace efi {

// Second file of a trace at `path`: the CAN frames.
inline std::string candump_path(const std::string& path) { return path + ".candump.log"; }

class Tracer {
 public:
  // A tracer that writes to `path` (created, or emptied when it exists); null when the file
  // cannot be created.
  static std::unique_ptr<Tracer> open(const std::string& path);

  const std::string& path() const { return path_; }

  // Before the link's send: the link's name as traced, and the command as the link gets it.
  void begin(const char* link, const CRM& crm) noexcept;
  // After it: the link's status; writes the exchange's line.
  void end(const CRM& crm, uint32_t status) noexcept;

  // Bytes a link read and threw away during this exchange to stay in step with the unit.
  void discarded(uint64_t bytes) noexcept { discarded_ += bytes; }
  // A word about how this exchange was carried, shown after `discarded=` (`waits=steps`: the link
  // looked for the unit's answer in steps, as its adapter would not signal arrivals).
  void note(const char* word) noexcept { note_ = word; }
  // One CAN frame (extended identifier) as it went over the bus during this exchange.
  void frame(uint32_t identifier, const unsigned char* data, uint8_t length) noexcept;

 private:
  explicit Tracer(std::string path, platform::LogFile exchanges)
      : path_(std::move(path)), exchanges_(std::move(exchanges)) {}

  std::string path_;
  platform::LogFile exchanges_;
  platform::LogFile frames_;  // created at the first frame
  bool frames_failed_ = false;
  platform::Clock clock_;
  std::string link_ = "-";
  std::string line_;  // the line of the exchange under way, up to its response
  int64_t start_ = 0;
  std::chrono::microseconds started_at_{};  // wall-clock time of the exchange's start
  uint8_t command_number_ = 0;
  uint32_t sent_ = 0;
  uint32_t capacity_ = 0;
  uint64_t discarded_ = 0;
  const char* note_ = nullptr;
};

}  // namespace efi
