#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "transports/can/segmentation.h"
#include "transports/can/slcan_lines.h"
#include "transports/common/deadline.h"
#include "transports/link.h"

namespace efi {

inline constexpr uint32_t SLCAN_DEFAULT_BAUD_RATE = 115200;
// Each answer to an adapter command is awaited this long.
inline constexpr uint32_t SLCAN_COMMAND_WAIT_MS = 1000;

// Where the adapter is: the port's name or path, and the serial line's baud rate.
struct SlcanPort {
  std::string name;
  uint32_t baud_rate = SLCAN_DEFAULT_BAUD_RATE;
};
// "COM7", "\\.\COM12", "/dev/ttyACM0", each optionally followed by ":<baud rate>". A name without
// any path in it ("COM7") is looked up where the system keeps ports. False for an empty name or
// a rate of 0.
bool parse_slcan_port(const char* text, SlcanPort& port);

// The serial-line CAN link: the segmented exchange over a serial-line adapter at 500 kbit/s. The
// adapter takes ASCII commands and frame lines on its port and reports every frame it receives,
// and every frame it sent, as a line.
class SlcanLink final : public Link {
 public:
  static constexpr uint16_t LENGTH_LIMIT = 4088;

  const char* name() const override { return "slcan"; }
  // `text` names the port (parse_slcan_port).
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) override;
  uint32_t send(const LinkContext& context, CRM* crm) override;
  uint32_t close(const LinkContext& context, uint32_t which) override;

  // The adapter of the segmented exchange. A refused frame, a port that takes no bytes and a port
  // read that fails end the exchange with LINK_FAILED, as the PCAN link's failed library calls do.
  bool ready() const { return ready_; }
  unsigned char* transmit_data(uint16_t slot) { return transmit_[slot].data(); }
  const unsigned char* received_data(uint16_t slot) const { return receive_[slot].data(); }
  uint32_t write_frames(uint16_t slot, uint16_t& count);
  uint32_t write_flow_control(uint8_t block_size);
  uint32_t read_frames(uint16_t& count, uint32_t wait_ms);

 private:
  enum class Arrival { bytes, timed_out, failed };
  // The one wait of the link: reads what the port has into the incoming buffer, waiting until
  // `deadline` for it in a read of one byte that the port's data end.
  Arrival read_until(const Deadline& deadline);
  // The next whole line from the adapter by `deadline`; false when none came (or the port failed).
  bool next_line(const Deadline& deadline, SlcanLine& line, bool& failed);
  // Sends `command` (with its CR) and waits for its answer: true for CR, false for BEL or none.
  bool command(const char* command);

  bool ready_ = false;
  platform::SerialPort port_;
  platform::Clock clock_;
  SlcanLineReader reader_;
  // Frames sent whose "Z" (or CR) has not come back yet: a BEL while any is owed is a refusal.
  uint32_t owed_answers_ = 0;
  std::array<unsigned char, 4096> incoming_{};
  size_t incoming_at_ = 0, incoming_end_ = 0;
  std::array<char, CAN_TABLE_SLOTS * SLCAN_FRAME_TEXT_SIZE> outgoing_{};
  std::array<std::array<unsigned char, 8>, CAN_TABLE_SLOTS> transmit_{};
  std::array<std::array<unsigned char, 8>, CAN_TABLE_SLOTS> receive_{};
};

}  // namespace efi
