#include "channel.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace softunit {

namespace {
void system_pause(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
std::atomic<Pause> current_pause{system_pause};
}  // namespace

void set_pause(Pause pause) { current_pause = pause ? pause : system_pause; }
void pause_ms(uint32_t milliseconds) { current_pause.load()(milliseconds); }

bool read_exact(Stream& stream, void* data, size_t size, int timeout_ms) {
  auto* bytes = static_cast<unsigned char*>(data);
  size_t got = 0;
  while (got < size) {
    const int64_t n = stream.read_some(bytes + got, size - got, timeout_ms);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace softunit
