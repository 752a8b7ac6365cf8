#include "transports/common/device_in_step.h"

#include <algorithm>

#include "transports/common/in_step.h"

namespace efi {

platform::TransferBounds bounds_within(const Deadline& deadline, platform::TransferBounds stage) {
  const uint32_t left = deadline.remaining_ms();
  stage.first_byte_ms = std::min(stage.first_byte_ms, left);
  stage.total_ms = std::min(stage.total_ms, left);
  return stage;
}

bool get_device_in_step(const LinkContext& context, const platform::DeviceFile& device, bool settle,
                        const Deadline& deadline, unsigned char* scratch, uint32_t scratch_size) {
  context.discarded(platform::discard_input(device));
  if (!settle) return true;
  // Each look lasts at most `quiet_ms`: one that brings nothing found the line quiet that long.
  auto drop_some = [&](uint32_t quiet_ms) -> int64_t {
    const platform::Transfer read =
        platform::read_device(device, scratch, scratch_size, {quiet_ms, quiet_ms, quiet_ms});
    return read.ok ? read.count : 0;
  };
  context.discarded(drop_until_quiet(deadline, SETTLE_MS, drop_some));
  return !deadline.expired();
}

}  // namespace efi
