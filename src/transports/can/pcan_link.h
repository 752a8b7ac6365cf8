#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/adapter_signal.h"
#include "platform/module.h"
#include "transports/can/segmentation.h"
#include "transports/common/deadline.h"
#include "transports/link.h"

namespace efi {

// One CAN message as the PCAN library takes and gives it (16 bytes with its natural padding).
struct PcanMessage {
  uint32_t id;
  uint8_t message_type;
  uint8_t length;
  uint8_t data[8];
};
static_assert(sizeof(PcanMessage) == 16);

// The time stamp a read fills in; never looked at.
struct PcanTimestamp {
  uint32_t milliseconds;
  uint16_t millisecond_overflow;
  uint16_t microseconds;
};
static_assert(sizeof(PcanTimestamp) == 8);

inline constexpr uint16_t PCAN_CHANNEL = 0x51;
inline constexpr uint16_t PCAN_BIT_RATE = 0x001C;  // bus timing 0x00, 0x1C: 500 kbit/s
inline constexpr uint8_t PCAN_MESSAGE_STANDARD = 0x00;
inline constexpr uint8_t PCAN_MESSAGE_RTR = 0x01;
inline constexpr uint8_t PCAN_MESSAGE_EXTENDED = 0x02;
inline constexpr uint8_t PCAN_MESSAGE_STATUS = 0x80;
inline constexpr uint32_t PCAN_RECEIVE_QUEUE_EMPTY = 0x20;
// The value that carries the receive signal: an event the library sets when it queues a frame
// (Windows), a descriptor readable while frames wait (elsewhere).
inline constexpr uint8_t PCAN_RECEIVE_EVENT = 0x03;
// With no receive signal the queue is looked into every millisecond while an answer is due, then
// every five once the unit is plainly taking its time.
inline constexpr uint32_t PCAN_SHORT_STEP_MS = 1;
inline constexpr uint32_t PCAN_LONG_STEP_MS = 5;
inline constexpr uint32_t PCAN_SHORT_STEPS = 20;
// What every call answers while the library or one of its functions is missing.
inline constexpr uint32_t PCAN_LIBRARY_NOT_LOADED = 0x10000;

// The PCAN library, loaded at run time, with the thirteen functions it must offer.
class PcanBasicLoader {
 public:
  using Initialize = uint32_t(EFI_ADAPTER_CALL*)(uint16_t channel, uint16_t bit_rate, uint8_t hardware_type,
                                                 uint32_t io_port, uint16_t interrupt);
  using Uninitialize = uint32_t(EFI_ADAPTER_CALL*)(uint16_t channel);
  using Write = uint32_t(EFI_ADAPTER_CALL*)(uint16_t channel, PcanMessage* message);
  using Read = uint32_t(EFI_ADAPTER_CALL*)(uint16_t channel, PcanMessage* message, PcanTimestamp* timestamp);
  using Value = uint32_t(EFI_ADAPTER_CALL*)(uint16_t channel, uint8_t parameter, void* buffer, uint32_t size);

  // Loads `file`; a missing library or function is reported (always shown) and leaves it unloaded.
  PcanBasicLoader(const std::string& file, const Reporter& report);
  ~PcanBasicLoader();

  bool loaded() const { return loaded_; }
  uint32_t initialize(uint16_t channel, uint16_t bit_rate, uint8_t hardware_type, uint32_t io_port,
                      uint16_t interrupt) const;
  uint32_t uninitialize(uint16_t channel) const;
  uint32_t write(uint16_t channel, PcanMessage* message) const;
  uint32_t read(uint16_t channel, PcanMessage* message, PcanTimestamp* timestamp) const;
  uint32_t get_value(uint16_t channel, uint8_t parameter, void* buffer, uint32_t size) const;
  uint32_t set_value(uint16_t channel, uint8_t parameter, void* buffer, uint32_t size) const;

 private:
  platform::Module module_;
  // In lookup order: CAN_Initialize, CAN_InitializeFD, CAN_Uninitialize, CAN_Reset, CAN_GetStatus,
  // CAN_Read, CAN_ReadFD, CAN_Write, CAN_WriteFD, CAN_FilterMessages, CAN_GetValue, CAN_SetValue,
  // CAN_GetErrorText.
  std::array<void*, 13> functions_{};
  bool loaded_ = false;
};

// The PCAN link: the segmented exchange over the first PCAN-USB channel at 500 kbit/s.
class PcanLink final : public Link {
 public:
  static constexpr uint16_t LENGTH_LIMIT = 4088;

  const char* name() const override { return "pcan"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) override;
  uint32_t send(const LinkContext& context, CRM* crm) override;
  uint32_t close(const LinkContext& context, uint32_t which) override;

  // The adapter of the segmented exchange.
  bool ready() const { return pcan_ready != 0; }
  unsigned char* transmit_data(uint16_t slot) { return transmit[slot].data; }
  const unsigned char* received_data(uint16_t slot) const { return receive[slot].data; }
  uint32_t write_frames(uint16_t slot, uint16_t& count);
  uint32_t write_flow_control(uint8_t block_size);
  uint32_t read_frames(uint16_t& count, uint32_t wait_ms);

  // Whether the library took the receive signal, so that reads wait on it (else they step).
  bool wakes_on_frames() const { return receive_signal.is_open(); }

 private:
  platform::AdapterValueCall value_call(bool set) const;
  // Waits until frames may be waiting or the deadline passes; `looks` counts the empty reads so
  // far, for the stepping reads of a library without a receive signal. False when the wait failed.
  bool wait_for_frames(const Deadline& deadline, uint32_t looks) const;

  uint8_t pcan_ready = 0;
  std::unique_ptr<PcanBasicLoader> loader;
  platform::AdapterSignal receive_signal;
  platform::Clock clock;
  std::array<PcanMessage, CAN_TABLE_SLOTS> transmit{};
  std::array<PcanMessage, CAN_TABLE_SLOTS> receive{};
};

}  // namespace efi
