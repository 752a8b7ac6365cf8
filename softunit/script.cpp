#include "script.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace softunit {

Bytes Plan::all_bytes() const {
  Bytes bytes;
  for (const Write& write : writes) bytes.insert(bytes.end(), write.bytes.begin(), write.bytes.end());
  return bytes;
}

void Script::push(Step step) {
  std::lock_guard lock(mutex_);
  steps_.push_back(std::move(step));
}

size_t Script::pending() const {
  std::lock_guard lock(mutex_);
  return steps_.size();
}

void Script::clear() {
  std::lock_guard lock(mutex_);
  steps_.clear();
}

Plan Script::plan(const Unit& unit, const CommandHeader_TS& header, const unsigned char* data, size_t size,
                  ByteOrder order) {
  std::optional<Step> step;
  {
    std::lock_guard lock(mutex_);
    if (!steps_.empty()) {
      step = std::move(steps_.front());
      steps_.pop_front();
    }
  }
  const auto command = static_cast<uint8_t>(header.command_code - EFI_COMMAND_CODE_BASE);
  Response reply = unit.respond(header, data, size);
  auto whole = [&] { return Plan{{Write{0, serialise(command, reply, order)}}}; };
  if (!step) return whole();

  switch (step->kind) {
    case Step::Kind::exact:
      return Plan{{Write{0, step->bytes}}};
    case Step::Kind::status:
      reply.header.response_status = static_cast<uint16_t>(step->value);
      reply.header.response_data_returning_size = 0;
      reply.data.clear();
      return whole();
    case Step::Kind::bad_marker:
      reply.header.dummy = static_cast<uint16_t>(step->value);
      return whole();
    case Step::Kind::oversize: {
      // Filler, not a structure: it goes out as it is in either order.
      ResponseHeader_TS announced = reply.header;
      announced.response_data_returning_size = static_cast<uint16_t>(std::min<uint32_t>(step->value, 0xFFFF));
      if (order == ByteOrder::unit) announced = swapped(announced);
      Bytes bytes(sizeof announced);
      std::memcpy(bytes.data(), &announced, sizeof announced);
      bytes.resize(bytes.size() + std::min<uint32_t>(step->value, 0xFFFF), OVERSIZE_BYTE);
      return Plan{{Write{0, std::move(bytes)}}};
    }
    case Step::Kind::short_write: {
      Plan plan = whole();
      Bytes& bytes = plan.writes[0].bytes;
      bytes.resize(std::min<size_t>(bytes.size(), step->value));
      return plan;
    }
    case Step::Kind::split: {
      const Bytes bytes = whole().writes[0].bytes;
      const size_t piece = std::max<uint32_t>(step->value, 1);
      Plan plan;
      for (size_t at = 0; at < bytes.size(); at += piece) {
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + piece));
        plan.writes.push_back(Write{at == 0 ? 0 : SPLIT_PAUSE_MS, Bytes(first, last)});
      }
      return plan;
    }
    case Step::Kind::delay: {
      Plan plan = whole();
      plan.writes[0].pause_ms = step->value;
      return plan;
    }
    case Step::Kind::silence:
      return Plan{};
    case Step::Kind::garbage:
      return Plan{{Write{0, Bytes(step->value, GARBAGE_BYTE)}}};
  }
  return whole();
}

}  // namespace softunit
