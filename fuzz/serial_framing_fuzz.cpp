// Any byte stream as a unit's answers, through the connect handshake and one exchange of the
// UART-driver link and of the COM-port link (its port object, listener thread and ring). The driver
// library and the serial port are stand-ins: the unit's answer becomes readable once the host
// writes, and after it the line is silent. Every reading of the stand-in clock moves it on by a
// minute, beyond any bound of an exchange: each wait looks once and finds its deadline passed,
// which is all this unit needs, as the UART driver has the answer at once and the COM listener
// has moved the whole answer into the ring before the host's write returns. The host's
// buffers carry guard bytes that must never change, and a successful exchange never reports more
// data than the host can take.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "platform/module.h"
#include "platform/serial_port.h"
#include "stand_in_clock.h"

namespace {

struct Unit {
  std::mutex lock;
  std::condition_variable changed;
  const uint8_t* answer = nullptr;  // goes onto the line at the host's next write
  size_t answer_size = 0;
  std::deque<unsigned char> line;
  bool listener_idle = false;  // the listener found the line empty: the ring holds all it will
  bool closing = false;        // the port is being closed: the listener ends at once
} unit;

// Runs `step` with the lock held.
template <typename Step>
auto locked(Step step) {
  const std::lock_guard guard(unit.lock);
  return step();
}
void send_answer() {
  unit.line.insert(unit.line.end(), unit.answer, unit.answer + unit.answer_size);
  unit.answer_size = 0;
}
uint32_t serve(void* data, size_t size) {
  const size_t count = std::min(size, unit.line.size());
  std::copy_n(unit.line.begin(), count, static_cast<unsigned char*>(data));
  unit.line.erase(unit.line.begin(), unit.line.begin() + static_cast<ptrdiff_t>(count));
  return static_cast<uint32_t>(count);
}

template <typename Function>
void* as_symbol(Function function) { return reinterpret_cast<void*>(function); }
using I = int32_t;
const struct {
  const char* name;
  void* function;
} DRIVER[] = {
    {"WCSCVxDInit", as_symbol(+[]() -> I { return 0; })},
    {"WCSCVxDOpenPort", as_symbol(+[](I, I, I, I, I, I, I) -> I { return 0; })},
    {"WCSCVxDSetBaudDiv", as_symbol(+[](I, I) -> I { return 0; })},
    {"WCSCVxDSetPortCharacteristics", as_symbol(+[](I, I, I, I, I, I) -> I { return 0; })},
    {"WCSCVxDGetPort", as_symbol(+[](I, void*, I) -> I { return 0; })},
    {"WCSCVxDCleanup", as_symbol(+[](I) -> I { return 0; })},
    // The UART link has no thread of its own: its driver needs no lock.
    {"WCSCVxDFlush", as_symbol(+[](I, I) -> I { unit.line.clear(); return 0; })},
    {"WCSCVxDPutPacket", as_symbol(+[](I, I count, const void*) -> I { send_answer(); return count; })},
    {"WCSCVxDGetPacket",
     as_symbol(+[](I, I count, void* data) -> I { return I(serve(data, size_t(std::max(count, 0)))); })},
};

}  // namespace

namespace efi::platform {

void ModuleTraits::close(Raw) noexcept {}
Module load_module(const char*) { return Module(&unit); }
void* find_symbol(const Module&, const char* name) {
  for (const auto& entry : DRIVER)
    if (std::strcmp(entry.name, name) == 0) return entry.function;
  return nullptr;
}
void* find_symbol_by_ordinal(const Module&, uint16_t) { return nullptr; }
bool modules_are_dlls() { return false; }
bool free_module(Module& module) { return module.release() != nullptr; }

void SerialPortTraits::close(Raw) noexcept {}
std::string serial_port_path(const std::string& name) { return name; }
SerialPort open_serial_port(const char*) { return SerialPort(3); }
bool configure_serial_port(const SerialPort&, const SerialSettings&) { return true; }
bool purge_serial_port(const SerialPort&, bool receive, bool) {
  locked([&] {
    if (receive) unit.line.clear();
  });
  return true;
}
// Returns once the listener has moved the whole answer into the ring.
Transfer write_serial(const SerialPort&, const void*, uint32_t size, TransferBounds) {
  std::unique_lock guard(unit.lock);
  if (unit.answer_size == 0) return {true, size};
  send_answer();
  unit.listener_idle = false;
  unit.changed.notify_all();
  unit.changed.wait(guard, [] { return unit.listener_idle; });
  return {true, size};
}
Transfer read_serial(const SerialPort&, void* data, uint32_t size, TransferBounds) {
  return {true, locked([&] { return serve(data, size); })};
}
SerialWait wait_serial_receive(const SerialPort&, uint32_t timeout_ms) {
  std::unique_lock guard(unit.lock);
  if (unit.line.empty()) {
    unit.listener_idle = true;
    unit.changed.notify_all();
  }
  unit.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                        [] { return !unit.line.empty() || unit.closing; });
  if (!unit.closing) return unit.line.empty() ? SerialWait::timed_out : SerialWait::received;
  errno = EIO;  // as a line that hung up
  return SerialWait::failed;
}
int64_t serial_bytes_waiting(const SerialPort&) {
  return locked([] { return static_cast<int64_t>(unit.line.size()); });
}

}  // namespace efi::platform

namespace {

// Only the host's thread touches the answer.
void answer_next_write(const uint8_t* data, size_t size) {
  unit.answer = data;
  unit.answer_size = size;
}
void set_closing(bool closing) {
  locked([&] {
    unit.closing = closing;
    unit.line.clear();
    unit.changed.notify_all();
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // First byte: link, conversion, connect, command; second: the host's capacity; third: the
  // answer to the connection indicator; the rest: the answer to the command.
  const bool com = data[0] & 1;
  const uint16_t capacity = static_cast<uint16_t>(data[1] * 17);
  efi::on_library_load();
  efi::enable_error_messages(0);
  efi::set_message_handler([](const char*, const char*, void*) {}, nullptr);
  efi::platform::stand_in_step_ns = int64_t{60} * 1000000000;
  const uint32_t flags = (com ? EFI_FLAG_COM_SERIAL : EFI_FLAG_UART_SERIAL) | EFI_FLAG_COMMAND_RESPONSE_INTERFACE |
                         (1u << EFI_FLAG_SERIAL_PORT_SHIFT) | (data[0] & 2 ? EFI_FLAG_NO_CONVERSION : 0);
  if (efi::initialize_interfaces(flags, nullptr) != 0) abort();
  if (data[0] & 8) {
    answer_next_write(data + 2, 1);
    efi::connect_command_response_interface();
  }
  // The listener waits for room while the ring is full, and this host takes nothing before its
  // write returns: a COM answer stays a byte short of a full ring.
  answer_next_write(data + 3, std::min<size_t>(size - 3, com ? efi::CSerialBuffer::CAPACITY - 1 : size));

  constexpr size_t GUARD = 64;
  std::vector<unsigned char> command(4 + GUARD, 0x11), response(capacity + GUARD, 0xCC);
  uint16_t received = 0xBEEF;
  // Command 0x07 travels unconverted; command 0x05 lets a response reach its converter.
  const uint8_t number = data[0] & 4 ? 0x05 : 0x07;
  const uint32_t status = efi::send_command(number, command.data(), 4, response.data(), capacity, &received);
  if (std::any_of(response.begin() + capacity, response.end(), [](unsigned char c) { return c != 0xCC; }) ||
      std::any_of(command.begin() + 4, command.end(), [](unsigned char c) { return c != 0x11; }))
    abort();
  if (status == 0 && received != 0xBEEF && received > capacity) abort();

  answer_next_write(nullptr, 0);
  set_closing(true);
  efi::close_interfaces(EFI_CLOSE_ALL_PORTS);
  set_closing(false);
  return 0;
}
