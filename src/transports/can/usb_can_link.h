#pragma once

#include <array>
#include <cstdint>

#include "platform/event.h"
#include "platform/module.h"
#include "protocol/status.h"
#include "transports/can/segmentation.h"
#include "transports/common/deadline.h"
#include "transports/link.h"

namespace efi {

#pragma pack(push, 1)
// One CAN message as the USB-CAN module's library takes and gives it: 18 bytes, no gaps.
struct UcanMessage {
  uint32_t id;
  uint8_t frame_format;
  uint8_t length;
  uint8_t data[8];
  uint32_t time;  // set by the library on reception
};
// The CAN channel's set-up: 24 bytes, no gaps.
struct UcanInitRecord {
  uint32_t size;
  uint8_t mode;
  uint8_t bus_timing_0;
  uint8_t bus_timing_1;
  uint8_t output_control;
  uint32_t acceptance_mask;
  uint32_t acceptance_code;
  uint32_t baud_rate_ex;
  uint16_t receive_entries;
  uint16_t transmit_entries;
};
#pragma pack(pop)
static_assert(sizeof(UcanMessage) == 18 && sizeof(UcanInitRecord) == 24);

inline constexpr uint8_t UCAN_FRAME_EXTENDED = 0x80;
inline constexpr uint8_t UCAN_ANY_MODULE = 0xFF;
inline constexpr uint8_t UCAN_NO_HANDLE = 0xFF;
inline constexpr uint32_t UCAN_EVENT_RECEIVE = 2;
inline constexpr uint8_t UCAN_WARNING = 0x80;     // results from here on are warnings
inline constexpr uint8_t UCAN_WRITE_REFUSED = 0x91;
inline constexpr const char* USB_CAN_RECEIVE_EVENT = "Event for receiving CAN message";
// Other processes share the named receive event and may re-arm it: the queue is looked into again
// at least this often while a read waits.
inline constexpr uint32_t USB_CAN_LOOK_AGAIN_MS = 100;

using UcanReceiveCallback = void(EFI_ADAPTER_CALL*)(uint8_t handle, uint32_t event, uint8_t channel, void* context);
using UcanConnectCallback = void(EFI_ADAPTER_CALL*)(uint32_t event, uint32_t parameter, void* context);

// The USB-CAN module link: the segmented exchange over the module's first CAN channel at
// 500 kbit/s, woken by the library's receive callback.
class UsbCanLink final : public Link {
 public:
  static constexpr uint16_t LENGTH_LIMIT = 4095;

  ~UsbCanLink() override;
  const char* name() const override { return "usbcan"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) override;
  uint32_t send(const LinkContext& context, CRM* crm) override;
  uint32_t close(const LinkContext& context, uint32_t which) override;

  // The adapter of the segmented exchange.
  bool ready() const { return can_ready == 1; }
  unsigned char* transmit_data(uint16_t slot) { return transmit[slot].data; }
  const unsigned char* received_data(uint16_t slot) const { return receive[slot].data; }
  uint32_t write_frames(uint16_t slot, uint16_t& count);
  uint32_t write_flow_control(uint8_t block_size);
  uint32_t read_frames(uint16_t& count, uint32_t wait_ms);

 private:
  struct Api {
    uint8_t(EFI_ADAPTER_CALL* init_hw_connect_control_ex)(UcanConnectCallback, void*);
    uint32_t(EFI_ADAPTER_CALL* get_version_ex)(uint32_t);
    uint8_t(EFI_ADAPTER_CALL* init_hardware_ex)(uint8_t*, uint8_t, UcanReceiveCallback, void*);
    uint8_t(EFI_ADAPTER_CALL* init_can_ex2)(uint8_t, uint8_t, UcanInitRecord*);
    uint8_t(EFI_ADAPTER_CALL* deinit_can_ex)(uint8_t, uint8_t);
    uint8_t(EFI_ADAPTER_CALL* deinit_hardware)(uint8_t);
    uint8_t(EFI_ADAPTER_CALL* write_can_msg_ex)(uint8_t, uint8_t, UcanMessage*, uint32_t*);
    uint8_t(EFI_ADAPTER_CALL* read_can_msg_ex)(uint8_t, uint8_t*, UcanMessage*, uint32_t*);
  };
  static void EFI_ADAPTER_CALL on_receive(uint8_t handle, uint32_t event, uint8_t channel, void* context);
  static void EFI_ADAPTER_CALL on_connect_control(uint32_t event, uint32_t parameter, void* context);
  bool load(const LinkContext& context);
  uint32_t write_result(uint8_t result) const;
  void shut_down();

  uint8_t handle = UCAN_NO_HANDLE;
  uint32_t can_ready = 0;
  platform::Event receive_event;
  platform::Module library;
  Api api{};
  Reporter report;  // for the receive callback, which runs on the library's thread
  std::array<UcanMessage, CAN_TABLE_SLOTS> transmit{};
  std::array<UcanMessage, CAN_TABLE_SLOTS> receive{};
};

}  // namespace efi
