#pragma once

// One command and its response carried as segmented CAN messages: a first frame with a 12-bit
// length, consecutive frames with a 4-bit sequence number, flow control from the receiver. The
// exchange is one routine; each adapter binds it to its library's frame record and calls.

#include <efilink/efilink.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/clock.h"
#include "protocol/headers.h"
#include "report/report.h"
#include "transports/common/deadline.h"
#include "transports/common/in_step.h"
#include "transports/common/trace.h"

namespace efi {

// Both tables hold this many frame records: 586 carry the longest command a 12-bit length allows.
inline constexpr uint16_t CAN_TABLE_SLOTS = 586;
inline constexpr uint32_t CAN_HOST_IDENTIFIER = 0x16666666;
inline constexpr uint32_t CAN_UNIT_IDENTIFIER = 0x16666667;
// Waits: for the unit's flow control and between consecutive frames, and for a response to start;
// all of them within the exchange's EXCHANGE_LIMIT_MS.
inline constexpr uint32_t CAN_FRAME_WAIT_MS = 1000;
inline constexpr uint32_t CAN_RESPONSE_WAIT_MS = 5000;

inline constexpr uint8_t CAN_FIRST_FRAME = 0x10;
inline constexpr uint8_t CAN_CONSECUTIVE_FRAME = 0x20;
inline constexpr uint8_t CAN_FLOW_CONTROL = 0x30;

// 1 + ceil((length - 6) / 7): the first frame carries 6 message bytes, each further frame 7.
inline uint16_t CanFrameCount(uint16_t length) {
  const uint16_t rest = static_cast<uint16_t>(length - 6);
  return static_cast<uint16_t>(1 + (rest + 6u) / 7u);
}

// 0 and the next expected number (15 wraps to 0) when byte 0 of `data` is the consecutive frame
// `expected`; otherwise STATUS_CR_NOT_INITIALIZED (a frame out of place) with `expected` unchanged.
inline uint32_t CanCheckSequence(const unsigned char* data, uint8_t& expected) {
  if (data[0] != CAN_CONSECUTIVE_FRAME + expected) return STATUS_CR_NOT_INITIALIZED;
  expected = static_cast<uint8_t>((expected + 1) & 0x0F);
  return 0;
}

// Fills the transmit table: slot 0 the first frame, slots 1 to `frames` - 1 the consecutive frames
// of the message `header` (8 bytes, unit order) + `data`. Bytes past the message are left alone;
// without `data` (a host that gave none) its `data_size` bytes go out as zeros.
template <typename TransmitData>
void can_build_command(TransmitData transmit_data, const unsigned char* header, const unsigned char* data,
                       uint16_t data_size, uint16_t length, uint16_t frames) {
  unsigned char* first = transmit_data(0);
  first[0] = static_cast<unsigned char>(CAN_FIRST_FRAME + (length >> 8));
  first[1] = static_cast<unsigned char>(length & 0xFF);
  std::copy(header, header + 6, first + 2);
  uint32_t position = 6;  // next message byte
  for (uint16_t slot = 1; slot < frames; ++slot) {
    unsigned char* frame = transmit_data(slot);
    frame[0] = static_cast<unsigned char>(CAN_CONSECUTIVE_FRAME + (slot & 0x0F));
    for (unsigned byte = 1; byte < 8; ++byte, ++position) {
      if (position < 8)
        frame[byte] = header[position];
      else if (position - 8 < data_size)
        frame[byte] = data ? data[position - 8] : 0;
    }
  }
}

// The exchange over `adapter`, which offers:
//   static constexpr uint16_t LENGTH_LIMIT;           longest command message with its header
//   bool ready() const;                               initialised and not closed since
//   unsigned char* transmit_data(uint16_t slot);      the 8 data bytes of a transmit record
//   const unsigned char* received_data(uint16_t slot);
//   uint32_t write_frames(uint16_t slot, uint16_t& count);   count in: to send, out: accepted
//   uint32_t write_flow_control(uint8_t block_size);
//   uint32_t read_frames(uint16_t& count, uint32_t wait_ms); count in: at most, out: placed
//                                                     (0 when the wait ran out)
// Nothing is allocated; nothing is written past the host's buffers, nor through a null one. The
// received size is never more than the data bytes the frames carried. Frames read and dropped to
// stay in step count in `tracer` as 8 bytes each. Every wait takes its own bound cut to what is
// left of `deadline`, so that the exchange ends by it however the unit paces its frames.
template <typename Adapter>
uint32_t can_run_exchange(Adapter& adapter, const Deadline& deadline, const Reporter& report, CRM* crm,
                          Tracer* tracer) {
  auto discarded_frames = [tracer](uint32_t frames) {
    if (tracer) tracer->discarded(uint64_t{frames} * 8);
  };
  CommandHeader_TS* command = crm->command_header;
  const uint16_t data_size = command->command_data_size;
  const uint16_t capacity = command->response_buffer_size;
  const uint32_t full_length = uint32_t{data_size} + 8;
  const auto length = static_cast<uint16_t>(full_length);
  SwapHeaderByteOrder(command);
  if (!adapter.ready()) return 0;
  if (full_length > Adapter::LENGTH_LIMIT) {
    report.error(TextWidth::narrow, "UsbCanSystecSendCommandReceiveResponse: %04x", unsigned{Adapter::LENGTH_LIMIT});
    return STATUS_CR_COMMAND_TOO_LARGE;
  }

  // Frames a failed exchange left behind must not be taken for this one's: what is queued goes.
  drop_until_quiet(deadline, 0, [&](uint32_t) -> int64_t {
    uint16_t stale = CAN_TABLE_SLOTS;
    if (adapter.read_frames(stale, 0)) return -1;
    discarded_frames(stale);
    return stale;
  });
  auto within = [&deadline](uint32_t stage_ms) { return deadline.within(stage_ms).remaining_ms(); };

  const uint16_t frames = CanFrameCount(length);
  can_build_command([&adapter](uint16_t slot) { return adapter.transmit_data(slot); },
                    reinterpret_cast<const unsigned char*>(command), crm->command_data, data_size, length, frames);

  auto read_one = [&adapter](uint32_t wait_ms) -> uint32_t {
    uint16_t count = 1;
    if (const uint32_t status = adapter.read_frames(count, wait_ms)) return status;
    return count == 1 ? 0 : STATUS_CR_READ_FAILED;
  };

  uint16_t count = 1;
  if (const uint32_t status = adapter.write_frames(0, count)) return status;
  if (const uint32_t status = read_one(within(CAN_FRAME_WAIT_MS))) return status;
  const unsigned char* flow = adapter.received_data(0);
  if ((flow[0] & 0xF0) != CAN_FLOW_CONTROL) return STATUS_CR_NOT_INITIALIZED;
  const uint8_t block_size = flow[1];

  // The block size only divides the frames into write calls; no flow control between blocks.
  for (uint16_t remaining = frames - 1, next = 1; remaining > 0;) {
    count = (block_size != 0 && remaining > block_size) ? block_size : remaining;
    const uint16_t asked = count;
    if (const uint32_t status = adapter.write_frames(next, count)) return status;
    if (count == 0) return STATUS_CR_WRITE_FAILED;
    count = std::min(count, asked);
    remaining -= count;
    next += count;
  }

  // A flow control cannot begin an answer: it is a late one for a command given up before, skipped.
  const unsigned char* first = adapter.received_data(0);
  for (uint16_t skipped = 0;; ++skipped) {
    if (const uint32_t status = read_one(within(CAN_RESPONSE_WAIT_MS))) return status;
    if ((first[0] & 0xF0) != CAN_FLOW_CONTROL || skipped == CAN_TABLE_SLOTS) break;
    discarded_frames(1);
  }
  if ((first[0] & 0xF0) != CAN_FIRST_FRAME) return STATUS_CR_NOT_INITIALIZED;
  const auto response_length = static_cast<uint16_t>((first[0] & 0x0F) * 256 + first[1]);
  if (response_length < 8) return STATUS_CR_NOT_INITIALIZED;
  auto* header = reinterpret_cast<unsigned char*>(crm->response_header);
  std::copy(first + 2, first + 8, header);
  // Data bytes 2 to 7 of slot 0 still hold the command's first header bytes: they go out as the
  // separation-time byte and the rest of the flow-control frame.
  if (const uint32_t status = adapter.write_flow_control(0)) return status;

  const uint16_t response_frames = CanFrameCount(response_length);
  uint16_t remaining = static_cast<uint16_t>(response_length - 6);
  uint8_t expected = 1;
  uint16_t received = 1;

  // Reads and counts the rest of the answer, so that none of its frames is left for the next
  // exchange; frames out of sequence spoil the answer but are read all the same.
  auto read_to_end = [&](uint16_t from) {
    for (uint16_t counted = from; counted < response_frames;) {
      uint16_t batch = std::min<uint16_t>(response_frames - counted, CAN_TABLE_SLOTS);
      if (adapter.read_frames(batch, within(CAN_FRAME_WAIT_MS)) || batch == 0) return;
      discarded_frames(batch);
      counted += batch;
    }
  };

  if (const uint32_t status = read_one(within(CAN_FRAME_WAIT_MS))) return status;
  const unsigned char* second = adapter.received_data(0);
  if (const uint32_t status = CanCheckSequence(second, expected)) {
    read_to_end(received + 1);
    return status;
  }
  ++received;
  header[6] = second[1];
  header[7] = second[2];
  remaining -= 2;
  SwapHeaderByteOrder(header);

  const uint16_t returning = crm->response_header->response_data_returning_size;
  const uint32_t data_length = response_length - 8u;
  // The header announces more data than the frames carry: those bytes never come.
  const bool short_answer = returning > data_length;
  const bool too_small = data_length > capacity || returning > capacity;
  // Bytes beyond the host's buffer are read and counted but not kept; an answer without data, or
  // a host without a buffer, keeps none.
  const uint32_t keep = returning == 0 || !crm->response_data ? 0 : std::min<uint32_t>(data_length, capacity);
  uint32_t offset = 0;
  auto take = [&](const unsigned char* frame, unsigned from) {
    for (unsigned byte = from; byte < 8 && remaining > 0; ++byte, --remaining, ++offset)
      if (offset < keep) crm->response_data[offset] = frame[byte];
  };
  take(second, 3);

  uint32_t result = 0;
  while (received < response_frames) {
    uint16_t batch = std::min<uint16_t>(response_frames - received, CAN_TABLE_SLOTS);
    if (const uint32_t status = adapter.read_frames(batch, within(CAN_FRAME_WAIT_MS))) return status;
    if (batch == 0) return STATUS_CR_READ_FAILED;
    for (uint16_t slot = 0; slot < batch; ++slot) {
      const unsigned char* frame = adapter.received_data(slot);
      // A frame out of sequence spoils the rest of its batch; the frames are still counted so that
      // the whole response is read off the bus.
      if (CanCheckSequence(frame, expected)) {
        result = STATUS_CR_NOT_INITIALIZED;
        break;
      }
      take(frame, 1);
    }
    received += batch;
  }

  if (result == 0 && short_answer) return STATUS_CR_READ_FAILED;
  if (result == 0 && too_small) return STATUS_CR_RESPONSE_BUFFER_TOO_SMALL;
  if (!too_small && !short_answer) store_received_size(crm, returning);
  return result;
}

// An adapter whose frames go into the trace as they go over the bus: those sent with the host's
// identifier, those received (only the unit's reach the exchange) with the unit's.
template <typename Adapter>
struct TracedCanAdapter {
  static constexpr uint16_t LENGTH_LIMIT = Adapter::LENGTH_LIMIT;
  Adapter& adapter;
  Tracer& tracer;

  bool ready() const { return adapter.ready(); }
  unsigned char* transmit_data(uint16_t slot) { return adapter.transmit_data(slot); }
  const unsigned char* received_data(uint16_t slot) { return adapter.received_data(slot); }
  uint32_t write_frames(uint16_t slot, uint16_t& count) {
    const uint16_t asked = count;
    const uint32_t status = adapter.write_frames(slot, count);
    if (status == 0)
      for (uint16_t index = 0; index < std::min(count, asked); ++index)
        tracer.frame(CAN_HOST_IDENTIFIER, adapter.transmit_data(static_cast<uint16_t>(slot + index)), 8);
    return status;
  }
  uint32_t write_flow_control(uint8_t block_size) {
    const uint32_t status = adapter.write_flow_control(block_size);
    if (status == 0) tracer.frame(CAN_HOST_IDENTIFIER, adapter.transmit_data(0), 8);
    return status;
  }
  uint32_t read_frames(uint16_t& count, uint32_t wait_ms) {
    const uint32_t status = adapter.read_frames(count, wait_ms);
    if (status == 0)
      for (uint16_t slot = 0; slot < count; ++slot) tracer.frame(CAN_UNIT_IDENTIFIER, adapter.received_data(slot), 8);
    return status;
  }
};

// The exchange over `adapter`, ended within EXCHANGE_LIMIT_MS on `clock`; with a trace, every
// frame goes into it too.
template <typename Adapter>
uint32_t can_exchange(Adapter& adapter, const platform::Clock& clock, const Reporter& report, CRM* crm,
                      Tracer* tracer = nullptr) {
  const Deadline deadline(clock, EXCHANGE_LIMIT_MS);
  if (!tracer) return can_run_exchange(adapter, deadline, report, crm, nullptr);
  TracedCanAdapter<Adapter> traced{adapter, *tracer};
  return can_run_exchange(traced, deadline, report, crm, tracer);
}

}  // namespace efi
