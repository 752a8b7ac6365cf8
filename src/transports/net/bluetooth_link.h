#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/device_file.h"
#include "transports/common/deadline.h"
#include "transports/common/locked_buffers.h"
#include "transports/link.h"

namespace efi {

// Device-interface class under which the unit's Bluetooth device appears.
inline constexpr const char* BLUETOOTH_DEVICE_CLASS = "{3EC8DB0A-29F4-4595-B35C-3DBD799A78D3}";
inline constexpr size_t BLUETOOTH_DEVICE_PATH_SIZE = 512;
inline constexpr size_t BLUETOOTH_BUFFER_SIZE = 16384;
// Command data leave in writes of at most this many bytes; response data arrive in reads of at most
// BLUETOOTH_READ_PIECE.
inline constexpr uint32_t BLUETOOTH_WRITE_PIECE = 256;
inline constexpr uint32_t BLUETOOTH_READ_PIECE = 1536;

// The Bluetooth link: the unit's Bluetooth device opened as a shared file, the command written and
// the response read in pieces through page-locked buffers, with no handshake byte. Its progress
// goes to standard output. While it is open the system and the display are asked to stay awake.
// Every exchange ends within EXCHANGE_LIMIT_MS, however slowly the unit answers or drips.
class BluetoothLink final : public Link {
 public:
  ~BluetoothLink() override;

  const char* name() const override { return "bluetooth"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) override;
  // Returns LINK_FAILED for command data or announced response data beyond
  // TS_MAX_TRANSFERSTRUCTS_SIZE, STATUS_CR_RESPONSE_BUFFER_TOO_SMALL when the response was larger
  // than the host's buffer, STATUS_CR_LOCKED_BUFFER_FAILED without a complete set of locked buffers,
  // STATUS_CR_WRITE_FAILED when the command header could not go out, STATUS_CR_READ_FAILED when a
  // read failed, the response stopped short (its header or its data), the exchange's time ran out
  // or, after a failed exchange, the unit never fell quiet (the command then stays unsent), and 0
  // otherwise: a complete but malformed header (bad marker, no data) is reported by messages only,
  // and the host gets its status.
  uint32_t send(const LinkContext& context, CRM* crm) override;
  uint32_t close(const LinkContext& context, uint32_t which) override;

 private:
  struct Outcome;
  bool write_command(const Reporter& report, uint32_t command_size, const Deadline& deadline);
  Outcome receive_response(const LinkContext& context, CRM* crm, uint32_t capacity, const Deadline& deadline);
  uint32_t read_data(unsigned char* data, uint32_t size, const Deadline& deadline, bool progress);

  uint8_t Bluetooth_CRInitialized = 0;
  // Set by the first successful initialisation, whether or not every buffer could be locked.
  bool locked_buffers_set_up = false;
  // The last exchange did not complete: the next one waits for a quiet line first.
  bool out_of_step = false;
  platform::DeviceFile device;
  LockedBuffers buffers{"BT_DataToLockedBuffers", "BT_", BLUETOOTH_BUFFER_SIZE, true};
};

}  // namespace efi
