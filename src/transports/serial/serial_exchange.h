#pragma once

// The serial line protocol, once for both serial links: the command goes out, the unit
// acknowledges it with one byte, answers with a response header and its data, and the host ends
// the exchange with a closing byte. The links differ only in where the bytes come from (a driver
// library polled, a ring its listener thread fills) and in a few rules, which they hand in.

#include <cstddef>
#include <cstdint>

#include "platform/locked_memory.h"
#include "transports/common/deadline.h"
#include "transports/link.h"

namespace efi {

// Handshake bytes of the serial line protocol.
inline constexpr unsigned char INTERFACE_CONNECTION_INDICATOR = 0xC5;
inline constexpr unsigned char NO_CONVERSION_REPLY = 0xCC;
inline constexpr unsigned char COMMAND_TYPE_INDICATOR = 0xCD;
inline constexpr unsigned char CLOSING_BYTE = 0xDC;
// A serial exchange gives up when the unit sends no byte for this long.
inline constexpr uint32_t SERIAL_BYTE_TIMEOUT_MS = 2000;
// Stray bytes found before a command mean the unit is out of step: they are dropped until the line
// has been quiet this long.
inline constexpr uint32_t SERIAL_STRAY_QUIET_MS = 50;

// A one-byte page-locked buffer for a handshake byte; empty after a failure, which `report` tells
// as "<operation> VirtualAlloc <buffer_name> failed ..." or "... VirtualLock ...".
platform::LockedPages locked_byte(const Reporter& report, const char* operation, const char* buffer_name);

// A serial link's line as the exchange uses it.
class SerialLine {
 public:
  enum class Piece { command_header, command_data, closing_byte };

  // Writes all `size` bytes, giving up at the deadline where the line can wait for room; false
  // (after the link's message through `report`, if it has one) when the line took fewer.
  virtual bool put(const Reporter& report, const void* data, uint32_t size, Piece piece, const Deadline& deadline) = 0;
  // Reads at most `size` bytes once at least one is there, looking at least once however soon the
  // deadline passes; 0 when none came before it.
  virtual uint32_t read_some(unsigned char* data, uint32_t size, const Deadline& deadline) = 0;
  // The link's messages for an exchange that failed: no byte for SERIAL_BYTE_TIMEOUT_MS (or, with
  // `limit`, the exchange's own bound passed), an acknowledge that was not COMMAND_TYPE_INDICATOR,
  // a response the host had no room for. Silent by default.
  virtual void tell_silence(const Reporter& /*report*/, bool /*limit*/) {}
  virtual void tell_bad_acknowledge(const Reporter& /*report*/) {}
  virtual void tell_too_small(const Reporter& /*report*/) {}

 protected:
  ~SerialLine() = default;
};

// Where the two serial links part ways within one exchange.
struct SerialRules {
  // Only COMMAND_TYPE_INDICATOR acknowledges a command (otherwise any byte does).
  bool strict_acknowledge = false;
  // From the moment the command is out until the unit's header arrives, the host's response
  // header reads "no answer" (code 0, size 0, status NO_ANSWER_STATUS), and an exchange that gets
  // no answer returns 0 so the host sees that status. Otherwise such an exchange returns
  // STATUS_CR_SERIAL_TRANSFER_FAILED.
  bool no_answer_header = false;
  // The link's response data buffer: a larger answer is drained.
  size_t buffer_size = 0;
};

// One serial link's exchanges. Every exchange ends within EXCHANGE_LIMIT_MS. Whatever waits on the
// line before a command belongs to no command and is dropped; after an exchange that did not end
// with its closing byte the unit may still be answering it, so the line must first be quiet for
// SETTLE_MS: a late answer is never taken for the next command's.
class SerialExchange {
 public:
  // Steps from the command's header to the closing byte, on the CRM as pointed at the link's
  // locked buffers. `scratch` is one page-locked byte for the acknowledge; `response_read` tells
  // whether the response data arrived whole.
  uint32_t run(const LinkContext& context, SerialLine& line, const SerialRules& rules, CRM* crm, unsigned char* ack,
               bool& response_read);
  // A port opened anew starts in step.
  void reset() { out_of_step_ = false; }

 private:
  uint64_t get_in_step(SerialLine& line, const Deadline& limit);
  bool out_of_step_ = false;
};

}  // namespace efi
