#pragma once

#include "platform/module.h"
#include "transports/link.h"

namespace efi {

// Hands every command to a simulator library named by the host, after a fixed short delay.
class SimulatorLink final : public Link {
 public:
  const char* name() const override { return "simulator"; }
  uint32_t initialize(const LinkContext& context, uint32_t flags, const char* text) override;
  uint32_t send(const LinkContext& context, CRM* crm) override;
  uint32_t close(const LinkContext& context, uint32_t which) override;
  uint32_t append_playback(const void* data, uint32_t size) override;

 private:
  platform::Module module;
  SimulatorStartFunction start = nullptr;
  SimulatorCommandProcessorFunction command_processor = nullptr;
  SimulatorAppendPlaybackFunction playback = nullptr;
};

}  // namespace efi
