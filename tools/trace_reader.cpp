#include "trace_reader.h"

#include <sstream>

#include "arguments.h"

namespace efilink_cli {

namespace {

// "<header hex>:<data hex>"; false when it is not that.
bool parse_side(const std::string& text, Side& side) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  try {
    side.header = parse_hex(text.substr(0, colon));
    side.data = parse_hex(text.substr(colon + 1));
  } catch (const UsageError&) {
    return false;
  }
  return side.header.size() == 8;
}

}  // namespace

std::optional<TracedExchange> parse_line(const std::string& line, size_t number) {
  std::istringstream words(line);
  std::string time, word;
  TracedExchange exchange;
  exchange.line = number;
  if (!(words >> time >> exchange.link)) return std::nullopt;
  bool has_command = false, has_out = false, has_in = false;
  while (words >> word) {
    if (word.rfind("command=", 0) == 0) {
      try {
        exchange.command = static_cast<uint8_t>(parse_number(word.substr(8), 0xFF, "command"));
        has_command = true;
      } catch (const UsageError&) {
        return std::nullopt;
      }
    } else if (word.rfind("out=", 0) == 0) {
      has_out = parse_side(word.substr(4), exchange.out);
    } else if (word.rfind("in=", 0) == 0) {
      has_in = true;
      if (word != "in=-") {
        Side in;
        if (!parse_side(word.substr(3), in)) return std::nullopt;
        exchange.in = std::move(in);
      }
    }
  }
  if (!has_command || !has_out || !has_in) return std::nullopt;
  return exchange;
}

const char* unreplayable(const TracedExchange& traced) {
  if (!traced.in) return "no response in the trace";
  const Side& in = *traced.in;
  if (field(in.header, 3) != EFI_RESPONSE_MARKER || in.data.size() != field(in.header, 1))
    return "the traced response is not complete";
  if (in.data.size() > field(traced.out.header, 2)) return "the traced response is larger than the traced buffer";
  if (traced.out.data.size() > TS_MAX_TRANSFERSTRUCTS_SIZE) return "the traced command data are larger than a transfer";
  return nullptr;
}

}  // namespace efilink_cli
