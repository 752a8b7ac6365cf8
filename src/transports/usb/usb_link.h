#pragma once

#include <cstddef>

#include "platform/device_file.h"
#include "transports/common/deadline.h"
#include "transports/link.h"

namespace efi {

// Device-interface class under which the unit's USB driver exposes it.
inline constexpr const char* USB_DEVICE_CLASS = "{4B916034-47F5-4765-BECA-716DAE788135}";
inline constexpr size_t USB_DEVICE_PATH_SIZE = 256;
inline constexpr size_t USB_TRANSFER_SIZE = 0x1000;
// Header plus data up to this size go out without an announcement block.
inline constexpr size_t USB_DEFAULT_REQUEST_SIZE = 32;
inline constexpr uint8_t COMMAND_REQUEST_TYPE_LARGER_THAN_DEFAULT = 0x07;

// The USB device link: one device file, header and data written in one transfer, the response
// read into the host's buffer. Every exchange is repeated once when the response marker is bad;
// the two together end within EXCHANGE_LIMIT_MS.
class UsbLink final : public Link {
 public:
  const char* name() const override { return "usb"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* device_path) override;
  uint32_t send(const LinkContext& context, CRM* crm) override;
  uint32_t close(const LinkContext& context, uint32_t which) override;

  // One exchange, without the repeat, within the deadline `send` set.
  uint32_t USB_SendCommandReceiveResponse(const LinkContext& context, CRM* crm);

 private:
  struct Outcome;
  Outcome write_all(const void* data, uint32_t size);
  Outcome read_into(void* data, uint32_t size);
  uint32_t read_response_data(const Reporter& report, unsigned char* data, uint32_t size, bool continuing);

  uint8_t USB_interface_connected = 0;
  platform::DeviceFile device;
  platform::Clock clock;  // the context's, taken at each exchange for the deadline below
  // The exchange under way (with its repeat) ends by this deadline, whatever the unit does.
  Deadline exchange_deadline{clock, 0};
  // The last exchange failed on a read or a bad marker: the next one waits for a quiet line first.
  bool out_of_step = false;
  unsigned char transfer_buffer[USB_TRANSFER_SIZE] = {};
};

}  // namespace efi
