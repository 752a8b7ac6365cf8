// Any frames as a unit's side of the segmented CAN exchange. The adapter stand-in serves the
// fuzzer's bytes: before each read one byte says how many frames it places (at most as many as
// asked), then 8 bytes per frame; an exhausted input is a silent bus. The host's buffers carry
// guard bytes that must never change, a successful exchange never reports more data than the
// host can take, and no read is ever asked to place more frames than the table holds.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "transports/can/segmentation.h"

namespace {

struct FuzzedAdapter {
  static constexpr uint16_t LENGTH_LIMIT = 4095;

  const uint8_t* input;
  size_t left;
  uint16_t accept_at_most;
  std::array<std::array<unsigned char, 8>, efi::CAN_TABLE_SLOTS> transmit{}, receive{};

  bool ready() const { return true; }
  unsigned char* transmit_data(uint16_t slot) {
    if (slot >= efi::CAN_TABLE_SLOTS) std::abort();
    return transmit[slot].data();
  }
  const unsigned char* received_data(uint16_t slot) {
    if (slot >= efi::CAN_TABLE_SLOTS) std::abort();
    return receive[slot].data();
  }
  uint32_t write_frames(uint16_t slot, uint16_t& count) {
    if (slot + count > efi::CAN_TABLE_SLOTS) std::abort();
    if (accept_at_most && count > accept_at_most) count = accept_at_most;
    return 0;
  }
  uint32_t write_flow_control(uint8_t) { return 0; }
  uint32_t read_frames(uint16_t& count, uint32_t) {
    if (count > efi::CAN_TABLE_SLOTS) std::abort();
    uint16_t placed = 0;
    if (left > 0) {
      const uint16_t offered = *input++;
      --left;
      while (placed < count && placed < offered && left >= 8) {
        std::memcpy(receive[placed++].data(), input, 8);
        input += 8;
        left -= 8;
      }
    }
    count = placed;
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Command data size, the host's capacity, how many frames the adapter takes per write.
  const uint16_t command_size = static_cast<uint16_t>((data[0] | data[1] << 8) % 4100);
  const uint16_t capacity = static_cast<uint16_t>(data[2] * 17u % 4097);
  constexpr size_t GUARD = 16;
  std::vector<unsigned char> command(command_size + GUARD, 0xA5), response(capacity + GUARD, 0xC3);
  FuzzedAdapter adapter{data + 4, size - 4, data[3]};
  CommandHeader_TS header{0xCD07, command_size, capacity, 0};
  ResponseHeader_TS response_header{};
  uint16_t received = 0xBEEF;
  uint32_t transfer_status = 0;
  CRM crm{&header, command.data(), &response_header, response.data(), &received, &transfer_status};
  // Messages go to a handler that drops them, so that the reports are formatted but not shown.
  const efi::MessageSink quiet{[](const char*, const char*, void*) {}, nullptr};
  const efi::platform::Clock clock;
  const uint32_t status = efi::can_exchange(adapter, clock, efi::Reporter(quiet, false), &crm);
  for (size_t i = 0; i < GUARD; ++i)
    if (command[command_size + i] != 0xA5 || response[capacity + i] != 0xC3) std::abort();
  if (status == 0 && received != 0xBEEF && received > capacity) std::abort();
  return 0;
}
