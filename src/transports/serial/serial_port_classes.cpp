#include "transports/serial/serial_port_classes.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/clock.h"
#include "platform/waiting.h"
#include "platform/system_error.h"
#include "transports/common/deadline.h"

namespace efi {

namespace {

// Control bits of the Windows port state that the handshake modes change.
constexpr uint32_t PARITY_CHECKING = 0x0002;
constexpr uint32_t CTS_FLOW = 0x0004;
constexpr uint32_t DTR_CONTROL = 0x0030;
constexpr uint32_t DTR_HANDSHAKE = 0x0020;
constexpr uint32_t XON_XOFF = 0x0300;
constexpr uint32_t RTS_CONTROL = 0x3000;
constexpr uint32_t RTS_HANDSHAKE = 0x2000;

struct HandshakeBits {
  uint32_t cleared, set;
};
constexpr HandshakeBits HANDSHAKE_BITS[] = {{0x333C, 0}, {0x1310, 0x202C}, {0x303C, 0x0300}};

// An event wait looks at the port's mask in slices this long; arriving bytes end it at once.
constexpr uint32_t WAIT_SLICE_MS = 50;
constexpr uint32_t LISTENER_READ_SIZE = 100;

// The code of a failure the system just reported. Only failure paths ask, so a failure the system
// left without a code still gets one: taken for success, a failed wait would leave the listener
// waiting for an event that is never set, and closing the port would hang on it.
int32_t system_error() {
  const int32_t error = static_cast<int32_t>(platform::last_error());
  return error != 0 ? error : SERIAL_INVALID_FUNCTION;
}

// "COM3" is a port name, looked up where the system keeps ports; anything with a path in it is
// opened as it is.
std::string device_path(const std::wstring& device) {
  std::string name;
  for (wchar_t c : device) name += static_cast<char>(c);
  if (name.find_first_of("/\\:") != std::string::npos) return name;
  return platform::serial_port_path(name);
}

}  // namespace

CSerial::~CSerial() { CSerial::Close(); }

int32_t CSerial::apply(const platform::SerialSettings& settings) {
  platform::SerialSettings wanted = settings;
  wanted.handshake = (control_ & CTS_FLOW)                ? platform::Handshake::hardware
                     : (control_ & XON_XOFF) == XON_XOFF ? platform::Handshake::software
                                                          : platform::Handshake::none;
  if (!platform::configure_serial_port(file, wanted)) return fail(system_error());
  settings_ = wanted;
  return 0;
}

int32_t CSerial::Open(const std::wstring& device, uint32_t, uint32_t, bool overlapped) {
  lastError = 0;
  if (file) return fail(SERIAL_ALREADY_INITIALIZED);
  file = platform::open_serial_port(device_path(device).c_str());
  if (!file) return fail(system_error());
  overlapped_ = overlapped;
  if (overlapped) {
    overlappedEvent = platform::create_event(platform::EventReset::manual);
    readEvent = platform::create_event(platform::EventReset::manual);
    if (!overlappedEvent || !readEvent) {
      const int32_t error = system_error();
      Close();
      return fail(error);
    }
  }
  // Queue sizes are the driver's business here; nothing to set.
  SetMask(DEFAULT_EVENT_MASK);
  SetupReadTimeouts(ReadTimeoutNonblocking);
  control_ = 0;
  eventChar_ = 0;
  apply(platform::SerialSettings{});
  return lastError;
}

int32_t CSerial::Close() {
  lastError = 0;
  overlappedEvent.reset();
  readEvent.reset();
  file.reset();
  overlapped_ = false;
  return 0;
}

int32_t CSerial::Setup(uint32_t baud_rate, uint32_t data_bits, uint32_t parity, uint32_t stop_bits) {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  platform::SerialSettings settings = settings_;
  settings.baud_rate = baud_rate;
  settings.data_bits = static_cast<uint8_t>(std::min<uint32_t>(data_bits, 0xFF));
  settings.parity = static_cast<platform::Parity>(std::min<uint32_t>(parity, 0xFF));
  settings.stop_bits = static_cast<platform::StopBits>(std::min<uint32_t>(stop_bits, 0xFF));
  if (const int32_t error = apply(settings)) return error;
  control_ = parity != 0 ? control_ | PARITY_CHECKING : control_ & ~PARITY_CHECKING;
  return 0;
}

int32_t CSerial::SetEventChar(uint8_t character, bool adjust_mask) {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  eventChar_ = character;
  if (adjust_mask) return SetMask(eventMask | EV_RXFLAG);
  return 0;
}

int32_t CSerial::SetMask(uint32_t mask) {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  eventMask = mask;
  ++maskGeneration;
  return 0;
}

int32_t CSerial::WaitEvent(SerialOverlapped* overlapped, uint32_t timeout_ms) {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  if (!overlapped_ && (overlapped || timeout_ms != SERIAL_INFINITE)) return fail(SERIAL_INVALID_FUNCTION);
  const uint32_t generation = maskGeneration;
  bool failed = false;
  // One slice of the wait; true once bytes came, the mask changed, or the system ended the wait on
  // its own.
  const auto look = [&](uint32_t ms) {
    const platform::SerialWait wait = platform::wait_serial_receive(file, std::min(ms, WAIT_SLICE_MS));
    failed = wait == platform::SerialWait::failed;
    if (wait == platform::SerialWait::received) eventBits |= EV_RXCHAR;
    return wait != platform::SerialWait::timed_out || maskGeneration != generation || WaitAbandoned();
  };
  if (!platform::wait_within(timeout_ms == SERIAL_INFINITE ? platform::WAIT_FOREVER : timeout_ms, look))
    return fail(SERIAL_TIMEOUT);
  if (failed) return fail(system_error());
  if (overlapped && overlapped->event) platform::set_event(*overlapped->event);
  return 0;
}

int32_t CSerial::SetupHandshaking(uint32_t mode) {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  if (mode > HandshakeSoftware) return fail(SERIAL_INVALID_ARGUMENT);
  const uint32_t before = control_;
  control_ = (control_ & ~HANDSHAKE_BITS[mode].cleared) | HANDSHAKE_BITS[mode].set;
  if (const int32_t error = apply(settings_)) {
    control_ = before;
    return error;
  }
  return 0;
}

int32_t CSerial::SetupReadTimeouts(uint32_t mode) {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  if (mode > ReadTimeoutBlocking) return fail(SERIAL_INVALID_ARGUMENT);
  readTimeouts_ = mode;
  return 0;
}

int32_t CSerial::GetBaudrate() {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE), -1;
  return static_cast<int32_t>(settings_.baud_rate);
}

int32_t CSerial::GetDataBits() {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE), -1;
  return settings_.data_bits;
}

int32_t CSerial::GetParity() {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE), -1;
  return (control_ & PARITY_CHECKING) ? static_cast<int32_t>(settings_.parity) : 0;
}

int32_t CSerial::GetStopBits() {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE), -1;
  return static_cast<int32_t>(settings_.stop_bits);
}

int32_t CSerial::GetHandshaking() {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE), -1;
  if ((control_ & DTR_CONTROL) == DTR_HANDSHAKE && (control_ & RTS_CONTROL) == RTS_HANDSHAKE) return HandshakeHardware;
  if ((control_ & XON_XOFF) == XON_XOFF) return HandshakeSoftware;
  return HandshakeOff;
}

uint32_t CSerial::GetEventMask() {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE), 0;
  return eventMask;
}

uint8_t CSerial::GetEventChar() {
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE), 0;
  return eventChar_;
}

int32_t CSerial::WriteText(const char* text, uint32_t* written, SerialOverlapped* overlapped, uint32_t timeout_ms) {
  return Write(text, static_cast<uint32_t>(std::strlen(text)), written, overlapped, timeout_ms);
}

int32_t CSerial::Write(const void* data, uint32_t length, uint32_t* written, SerialOverlapped* overlapped,
                       uint32_t timeout_ms) {
  uint32_t local = 0;
  uint32_t& count = written ? *written : local;
  count = 0;
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  if (!overlapped_ && (overlapped || timeout_ms != SERIAL_INFINITE)) return fail(SERIAL_INVALID_FUNCTION);
  if (overlappedEvent) platform::reset_event(overlappedEvent);
  // An infinite write still ends when the line takes nothing for a long while.
  const uint32_t stall = timeout_ms == SERIAL_INFINITE ? 60000 : timeout_ms;
  const platform::Transfer transfer = platform::write_serial(file, data, length, {stall, stall});
  if (!transfer.ok) {
    const int32_t error = system_error();
    platform::purge_serial_port(file, false, true);
    return fail(platform::is_timeout(static_cast<uint32_t>(error)) ? SERIAL_TIMEOUT : error);
  }
  count = transfer.count;
  if (overlappedEvent) platform::set_event(overlappedEvent);
  if (overlapped && overlapped->event) platform::set_event(*overlapped->event);
  return 0;
}

int32_t CSerial::Read(void* buffer, uint32_t length, uint32_t* read, SerialOverlapped* overlapped,
                      uint32_t timeout_ms) {
  uint32_t local = 0;
  uint32_t& count = read ? *read : local;
  count = 0;
  lastError = 0;
  if (!file) return fail(SERIAL_INVALID_HANDLE);
  if (!overlapped_ && (overlapped || timeout_ms != SERIAL_INFINITE)) return fail(SERIAL_INVALID_FUNCTION);
  if (readEvent) platform::reset_event(readEvent);
  platform::Transfer transfer{true, 0};
  if (length > 0 && readTimeouts_ == ReadTimeoutNonblocking) {
    // What has arrived, at once.
    const int64_t waiting = platform::serial_bytes_waiting(file);
    if (waiting < 0) return fail(system_error());
    const uint32_t wanted = static_cast<uint32_t>(std::min<int64_t>(waiting, length));
    if (wanted > 0) transfer = platform::read_serial(file, buffer, wanted, {200, 0});
  } else if (length > 0) {
    // All `length` bytes, or the time-out.
    const uint32_t limit = timeout_ms == SERIAL_INFINITE ? 0xFFFFFFFEu : timeout_ms;
    const platform::Clock clock;
    const Deadline deadline(clock, limit);
    auto* bytes = static_cast<unsigned char*>(buffer);
    uint32_t got = 0;
    while (got < length) {
      if (deadline.expired()) {
        platform::purge_serial_port(file, true, false);
        return fail(SERIAL_TIMEOUT);
      }
      const uint32_t left = deadline.remaining_ms();
      const platform::Transfer piece = platform::read_serial(file, bytes + got, length - got, {left, left});
      if (!piece.ok && !platform::is_timeout(platform::last_error())) return fail(system_error());
      if (piece.ok) got += piece.count;
    }
    transfer = {true, got};
  }
  if (!transfer.ok) return fail(system_error());
  count = transfer.count;
  if (readEvent) platform::set_event(readEvent);
  if (overlapped && overlapped->event) platform::set_event(*overlapped->event);
  return 0;
}

uint32_t CSerial::GetEventType() {
  const uint32_t bits = eventBits.exchange(0);
  return bits & eventMask;
}

CSerialEx::~CSerialEx() { CSerialEx::Close(); }

int32_t CSerialEx::Open(const std::wstring& device, uint32_t in_queue, uint32_t out_queue, bool start_listener) {
  if (const int32_t error = CSerial::Open(device, in_queue, out_queue, true)) return error;
  listenerEvent = platform::create_event(platform::EventReset::manual);
  if (!listenerEvent) {
    const int32_t error = system_error();
    Close();
    return fail(error);
  }
  return start_listener ? StartListener() : 0;
}

int32_t CSerialEx::Close() {
  StopListener(SERIAL_INFINITE);
  listenerEvent.reset();
  return CSerial::Close();
}

int32_t CSerialEx::StartListener() {
  lastError = 0;
  if (thread) return 0;
  thread = platform::start_thread(&CSerialEx::ListenerThread, this);
  return thread ? 0 : fail(system_error());
}

int32_t CSerialEx::StopListener(uint32_t) {
  if (thread) {
    stopping = true;
    if (file) SetMask(eventMask);
    platform::join_thread(thread);
    stopping = false;
  }
  lastError = 0;
  return 0;
}

void CSerialEx::ListenerThread(void* self) { static_cast<CSerialEx*>(self)->listen(); }

int32_t CSerialEx::listen() {
  SerialOverlapped overlapped{&listenerEvent};
  do {
    platform::reset_event(listenerEvent);
    if (const int32_t error = WaitEvent(&overlapped, SERIAL_INFINITE)) return error;
    if (platform::wait_event(listenerEvent, SERIAL_INFINITE) == platform::EventWait::failed) return system_error();
    if (stopping) return 0;
    uint32_t bits = GetEventType();
    // Some drivers end a wait without naming the event: look for bytes all the same.
    if (bits == 0) bits = EV_RXCHAR;
    OnEvent(bits, 0);
  } while (!stopping);
  return 0;
}

CSerialMFC::~CSerialMFC() { CSerialEx::Close(); }

int32_t CSerialMFC::Open(const std::wstring& device, uint32_t, uint32_t, uint32_t in_queue, uint32_t out_queue) {
  return CSerialEx::Open(device, in_queue, out_queue, true);
}

void CSerialMFC::OnEvent(uint32_t event_bits, uint32_t) {
  if (!(event_bits & EV_RXCHAR)) return;
  unsigned char buffer[LISTENER_READ_SIZE + 1];
  uint32_t read = 0;
  uint32_t wanted = 0;
  do {
    // Bytes stay in the port's queue while the ring is full, so none is lost to a taker that is
    // moving a long response out of the ring as it arrives.
    int32_t room = 0;
    while ((room = receive_buffer_.WaitForRoom(WAIT_SLICE_MS)) == 0)
      if (Stopping()) return;
    wanted = std::min<uint32_t>(LISTENER_READ_SIZE, static_cast<uint32_t>(room));
    if (Read(buffer, wanted, &read, nullptr, SERIAL_INFINITE) != 0) return;
    receive_buffer_.Append(buffer, static_cast<int32_t>(read));
  } while (read == wanted);
}

void CSerialBuffer::Clear() {
  {
    std::lock_guard guard(lock);
    readIndex = 0;
    writeIndex = 1;
  }
  taken.notify_all();
}

void CSerialBuffer::Append(const unsigned char* bytes, int32_t count) {
  {
    std::lock_guard guard(lock);
    for (int32_t i = 0; i < count; ++i) {
      if ((writeIndex + 1) % RING_SIZE == readIndex) break;
      data[writeIndex] = bytes[i];
      writeIndex = (writeIndex + 1) % RING_SIZE;
    }
  }
  appended.notify_all();
}

int32_t CSerialBuffer::Take(unsigned char* destination, int32_t count) {
  int32_t moved = 0;
  {
    std::lock_guard guard(lock);
    while (moved < count && writeIndex != (readIndex + 1) % RING_SIZE) {
      readIndex = (readIndex + 1) % RING_SIZE;
      destination[moved++] = data[readIndex];
    }
  }
  if (moved) taken.notify_all();
  return moved;
}

int32_t CSerialBuffer::Count() const {
  std::lock_guard guard(lock);
  return count_locked();
}

bool CSerialBuffer::WaitFor(int32_t count, uint32_t timeout_ms) const {
  std::unique_lock guard(lock);
  return platform::wait_within(timeout_ms, [&](uint32_t ms) {
    return appended.wait_for(guard, std::chrono::milliseconds(ms), [&] { return count_locked() >= count; });
  });
}

int32_t CSerialBuffer::WaitForRoom(uint32_t timeout_ms) const {
  std::unique_lock guard(lock);
  platform::wait_within(timeout_ms, [&](uint32_t ms) {
    return taken.wait_for(guard, std::chrono::milliseconds(ms), [&] { return count_locked() < CAPACITY; });
  });
  return CAPACITY - count_locked();
}

}  // namespace efi
