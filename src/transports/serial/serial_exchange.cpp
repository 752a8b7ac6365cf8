#include "transports/serial/serial_exchange.h"

#include "platform/locked_memory.h"
#include "platform/system_error.h"
#include "protocol/headers.h"
#include "protocol/status.h"
#include "transports/common/framing.h"
#include "transports/common/in_step.h"

namespace efi {

platform::LockedPages locked_byte(const Reporter& report, const char* operation, const char* buffer_name) {
  platform::LockedPages byte = platform::LockedPages::allocate(1);
  if (!byte) {
    report.error(TextWidth::narrow, "%s VirtualAlloc %s failed GetLastError = %08x", operation, buffer_name,
                 platform::last_error());
    return byte;
  }
  if (!byte.lock()) {
    report.error(TextWidth::narrow, "%s VirtualLock %s failed GetLastError = %08x", operation, buffer_name,
                 platform::last_error());
    return {};
  }
  return byte;
}

uint64_t SerialExchange::get_in_step(SerialLine& line, const Deadline& limit) {
  unsigned char scratch[256];
  auto drop_some = [&](uint32_t quiet_ms) { return line.read_some(scratch, sizeof scratch, limit.within(quiet_ms)); };
  // What waits now, at once; only a line found talking, or one left out of step, is waited on.
  uint64_t dropped = drop_until_quiet(limit, 0, drop_some);
  if (out_of_step_ || dropped != 0)
    dropped += drop_until_quiet(limit, out_of_step_ ? SETTLE_MS : SERIAL_STRAY_QUIET_MS, drop_some);
  out_of_step_ = false;
  return dropped;
}

uint32_t SerialExchange::run(const LinkContext& context, SerialLine& line, const SerialRules& rules, CRM* crm,
                             unsigned char* ack, bool& response_read) {
  const Deadline limit(context.clock, EXCHANGE_LIMIT_MS);
  CommandHeader_TS* command_header = crm->command_header;
  const uint32_t command_size = command_header->command_data_size;
  const uint32_t capacity = command_header->response_buffer_size;
  if (context.convert_headers) SwapHeaderByteOrder(command_header);

  ResponseHeader_TS* response_header = crm->response_header;
  auto no_answer = [response_header] {
    response_header->response_code = 0;
    response_header->response_data_returning_size = 0;
    response_header->response_status = NO_ANSWER_STATUS;
  };
  // An answer cut short is no answer: its header's status never reaches the host.
  auto silence = [&] {
    line.tell_silence(context.report, limit.expired());
    if (!rules.no_answer_header) return STATUS_CR_SERIAL_TRANSFER_FAILED;
    no_answer();
    return 0u;
  };
  context.discarded(get_in_step(line, limit));
  // A unit that talked through all of the exchange's time is not sent the command.
  if (limit.expired()) {
    out_of_step_ = true;
    return silence();
  }

  // From here until the closing byte the unit may answer at any time: an exchange that ends
  // sooner leaves the line out of step.
  out_of_step_ = true;
  if (!line.put(context.report, command_header, sizeof(CommandHeader_TS), SerialLine::Piece::command_header, limit))
    return STATUS_CR_SERIAL_TRANSFER_FAILED;
  if (command_size != 0 && !line.put(context.report, crm->command_data, command_size, SerialLine::Piece::command_data, limit))
    return STATUS_CR_SERIAL_TRANSFER_FAILED;

  if (rules.no_answer_header) no_answer();
  auto read_some = [&](unsigned char* at, uint32_t wanted) {
    return line.read_some(at, wanted, limit.within(SERIAL_BYTE_TIMEOUT_MS));
  };

  if (read_exactly(ack, 1, read_some) != 1) return silence();
  if (rules.strict_acknowledge && ack[0] != COMMAND_TYPE_INDICATOR) {
    line.tell_bad_acknowledge(context.report);
    return STATUS_CR_SERIAL_TRANSFER_FAILED;
  }
  ResponseHeader_TS arrived;
  if (read_exactly(reinterpret_cast<unsigned char*>(&arrived), sizeof arrived, read_some) != sizeof arrived)
    return silence();
  *response_header = arrived;
  if (context.convert_headers) SwapHeaderByteOrder(response_header);

  const uint32_t returning = response_header->response_data_returning_size;
  const bool fits = response_fits(returning, capacity, rules.buffer_size);
  if (fits) {
    if (read_exactly(static_cast<unsigned char*>(crm->response_data), returning, read_some) != returning)
      return silence();
  } else {
    // All of an answer the host has no room for is read, so that the line stays in step.
    unsigned char scratch[256];
    auto read_piece = [&](unsigned char* piece, uint32_t size) {
      return read_exactly(piece, size, read_some) == size ? 0u : 1u;
    };
    if (drain(returning, scratch, sizeof scratch, read_piece, context.tracer) != 0) return silence();
  }
  ack[0] = CLOSING_BYTE;
  if (!line.put(context.report, ack, 1, SerialLine::Piece::closing_byte, limit)) return 0;
  out_of_step_ = false;
  if (!fits) {
    line.tell_too_small(context.report);
    return STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
  }
  response_read = true;
  store_received_size(crm, returning);
  return 0;
}

}  // namespace efi
