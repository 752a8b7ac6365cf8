// A line of a trace file as efilink replay reads it: any text. Reading it must never fail other
// than by refusing the line, and an exchange it calls replayable must fit the buffers replay
// gives it (its response within the traced buffer, its command data within one transfer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "trace_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const std::optional<efilink_cli::TracedExchange> exchange = efilink_cli::parse_line(line, 1);
  if (!exchange) return 0;
  if (exchange->out.header.size() != 8 || (exchange->in && exchange->in->header.size() != 8)) std::abort();
  if (efilink_cli::unreplayable(*exchange)) return 0;
  if (exchange->in->data.size() > efilink_cli::field(exchange->out.header, 2) ||
      exchange->out.data.size() > TS_MAX_TRANSFERSTRUCTS_SIZE)
    std::abort();
  return 0;
}
