#include "channel.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace softunit {

namespace {
void system_pause(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
void no_note() {}
std::atomic<Pause> current_pause{system_pause};
std::atomic<Sending> current_sending{no_note};
}  // namespace

void set_clock(Pause pause, Sending sending) {
  current_pause = pause ? pause : system_pause;
  current_sending = sending ? sending : no_note;
}
void pause_ms(uint32_t milliseconds) { current_pause.load()(milliseconds); }
void note_sending() { current_sending.load()(); }

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
