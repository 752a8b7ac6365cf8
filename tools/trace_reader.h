#pragma once

// Reading the exchange lines of a trace back (the format the library's tracer writes; README,
// "Exchange traces and replay"), for efilink replay.

#include <efilink/efilink.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace efilink_cli {

// One side of an exchange as traced: "<header hex>:<data hex>".
struct Side {
  std::vector<unsigned char> header;  // 8 bytes, most-significant byte first
  std::vector<unsigned char> data;
};

struct TracedExchange {
  size_t line = 0;
  std::string link;
  uint8_t command = 0;
  Side out;
  std::optional<Side> in;  // none when the unit's header never arrived
};

// Field `index` (0 to 3) of an 8-byte traced header.
inline uint16_t field(const std::vector<unsigned char>& header, size_t index) {
  return static_cast<uint16_t>(header[2 * index] << 8 | header[2 * index + 1]);
}

// One exchange line of a trace; nothing for a line that is not one.
std::optional<TracedExchange> parse_line(const std::string& line, size_t number);

// Why a traced exchange cannot be replayed (no response, a response cut short or larger than
// the traced buffer, more command data than a transfer holds), or null when it can.
const char* unreplayable(const TracedExchange& traced);

}  // namespace efilink_cli
