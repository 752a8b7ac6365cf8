#pragma once

// A communications port with a listener thread that moves received bytes into a ring buffer: the
// port object and receive buffer of the COM-port link. Written on the platform's serial port,
// thread and event, so one implementation reports the same codes on every system.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/event.h"
#include "platform/serial_port.h"
#include "platform/thread.h"

namespace efi {

// Communication event bits, numbered as Windows numbers them.
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t DEFAULT_EVENT_MASK = EV_RXCHAR | EV_BREAK | EV_ERR;

// The codes the classes report; any other nonzero code is the system's own error.
inline constexpr int32_t SERIAL_INVALID_FUNCTION = 1;
inline constexpr int32_t SERIAL_INVALID_HANDLE = 6;
inline constexpr int32_t SERIAL_ALREADY_INITIALIZED = 1247;
inline constexpr int32_t SERIAL_TIMEOUT = 1460;
inline constexpr int32_t SERIAL_INVALID_ARGUMENT = static_cast<int32_t>(0x80070057u);
inline constexpr uint32_t SERIAL_INFINITE = 0xFFFFFFFFu;

// An operation whose end the caller waits for itself: the port sets `event` once it is done.
struct SerialOverlapped {
  platform::Event* event = nullptr;
};

class CSerial {
 public:
  enum Handshake : uint32_t { HandshakeOff = 0, HandshakeHardware = 1, HandshakeSoftware = 2 };
  enum ReadTimeouts : uint32_t { ReadTimeoutNonblocking = 0, ReadTimeoutBlocking = 1 };

  CSerial() = default;
  CSerial(const CSerial&) = delete;
  CSerial& operator=(const CSerial&) = delete;
  virtual ~CSerial();

  virtual int32_t Open(const std::wstring& device, uint32_t in_queue, uint32_t out_queue, bool overlapped);
  virtual int32_t Close();
  virtual int32_t Setup(uint32_t baud_rate, uint32_t data_bits, uint32_t parity, uint32_t stop_bits);
  virtual int32_t SetEventChar(uint8_t character, bool adjust_mask);
  virtual int32_t SetMask(uint32_t mask);
  virtual int32_t WaitEvent(SerialOverlapped* overlapped, uint32_t timeout_ms);
  virtual int32_t SetupHandshaking(uint32_t mode);
  virtual int32_t SetupReadTimeouts(uint32_t mode);
  virtual int32_t GetBaudrate();
  virtual int32_t GetDataBits();
  virtual int32_t GetParity();
  virtual int32_t GetStopBits();
  virtual int32_t GetHandshaking();
  virtual uint32_t GetEventMask();
  virtual uint8_t GetEventChar();
  virtual int32_t WriteText(const char* text, uint32_t* written, SerialOverlapped* overlapped, uint32_t timeout_ms);
  virtual int32_t Write(const void* data, uint32_t length, uint32_t* written, SerialOverlapped* overlapped,
                        uint32_t timeout_ms);
  virtual int32_t Read(void* buffer, uint32_t length, uint32_t* read, SerialOverlapped* overlapped,
                       uint32_t timeout_ms);

  // The event bits of the last wait within the mask; clears them.
  uint32_t GetEventType();
  int32_t GetLastError() const { return lastError; }
  bool IsOpen() const { return bool(file); }

 protected:
  int32_t fail(int32_t error) { return lastError = error; }
  // True when an event wait must end at once (the listener is being stopped).
  virtual bool WaitAbandoned() const { return false; }
  // The settings as the port has them, applied to the line.
  int32_t apply(const platform::SerialSettings& settings);

  std::atomic<int32_t> lastError{0};
  platform::SerialPort file;
  std::atomic<uint32_t> eventBits{0};
  std::atomic<uint32_t> eventMask{0};
  // The writer's operations and the reader's each have an event of their own, so a read by the
  // listener and a write by the host's thread never finish into each other.
  platform::Event overlappedEvent;
  platform::Event readEvent;
  // Changed by every SetMask: ends an event wait in progress, as a new mask does on Windows.
  std::atomic<uint32_t> maskGeneration{0};
  bool overlapped_ = false;
  uint32_t readTimeouts_ = ReadTimeoutNonblocking;
  platform::SerialSettings settings_;
  // The control bits of the port state in the Windows layout (handshake, parity checking).
  uint32_t control_ = 0;
  uint8_t eventChar_ = 0;
};

// A port with a listener thread that waits for port events and hands them to OnEvent.
class CSerialEx : public CSerial {
 public:
  ~CSerialEx() override;
  int32_t Open(const std::wstring& device, uint32_t in_queue, uint32_t out_queue, bool start_listener) override;
  int32_t Close() override;
  virtual int32_t StartListener();
  virtual int32_t StopListener(uint32_t timeout_ms);

 protected:
  virtual void OnEvent(uint32_t event_bits, uint32_t errors) = 0;
  bool Stopping() const { return stopping; }
  bool WaitAbandoned() const override { return stopping; }

 private:
  static void ListenerThread(void* self);
  int32_t listen();

  std::atomic<bool> stopping{false};
  platform::Thread thread;
  platform::Event listenerEvent;
};

class CSerialBuffer;

// The COM-port link's port object: every received byte goes into its receive buffer.
class CSerialMFC : public CSerialEx {
 public:
  explicit CSerialMFC(CSerialBuffer& receive_buffer) : receive_buffer_(receive_buffer) {}
  ~CSerialMFC() override;
  // The two words are not used; the port opens with its listener running.
  virtual int32_t Open(const std::wstring& device, uint32_t, uint32_t, uint32_t in_queue, uint32_t out_queue);
  using CSerialEx::Open;

 protected:
  void OnEvent(uint32_t event_bits, uint32_t errors) override;

 private:
  CSerialBuffer& receive_buffer_;
};

// A ring of 1000 bytes that holds at most 998: the byte to take next sits at readIndex + 1, the
// next byte received goes to writeIndex. Every operation holds the lock.
class CSerialBuffer {
 public:
  static constexpr int32_t RING_SIZE = 1000;
  static constexpr int32_t CAPACITY = RING_SIZE - 2;

  CSerialBuffer() = default;
  virtual ~CSerialBuffer() = default;

  void Clear();
  // Stores the bytes in order; once the ring is full the rest are dropped. Wakes a waiting taker.
  void Append(const unsigned char* data, int32_t count);
  int32_t Take(unsigned char* destination, int32_t count);
  int32_t Count() const;
  // Waits until at least `count` bytes are there (woken by Append, not a timer); false when
  // `timeout_ms` passed first.
  bool WaitFor(int32_t count, uint32_t timeout_ms) const;
  // Room for this many more bytes; waits up to `timeout_ms` (woken by Take) while there is none.
  int32_t WaitForRoom(uint32_t timeout_ms) const;

 private:
  int32_t count_locked() const { return ((writeIndex - readIndex - 1) % RING_SIZE + RING_SIZE) % RING_SIZE; }
  mutable std::mutex lock;
  mutable std::condition_variable appended;
  mutable std::condition_variable taken;
  unsigned char data[RING_SIZE] = {};
  int32_t readIndex = 0;
  int32_t writeIndex = 1;
};

}  // namespace efi
