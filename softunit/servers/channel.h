#pragma once

// The software unit's side of the real channels its link servers listen on: a pseudo-terminal or
// named pipe that the library opens as a device path, and TCP on loopback. One implementation
// per platform, picked by the build.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace softunit {

// How the unit's timed faults (a late answer, bytes dripped, frames apart) let time pass: on the
// system's clock, unless a test whose host waits on a clock that skips idle time hands the unit
// that clock's pause, so that the unit's delays and the host's waits run on one clock.
// Such a clock must also hear of the unit sending, which wakes a waiting host a moment later: it
// does not jump while a unit is at work.
using Pause = void (*)(uint32_t milliseconds);
using Sending = void (*)();
void set_clock(Pause pause, Sending sending);
void pause_ms(uint32_t milliseconds);
void note_sending();

// One connected byte stream.
class Stream {
 public:
  virtual ~Stream() = default;
  // Reads up to `size` bytes, waiting at most `timeout_ms` for the first: the count, 0 on time-out,
  // -1 when the other side closed or the stream failed.
  virtual int64_t read_some(void* data, size_t size, int timeout_ms) = 0;
  virtual bool write_all(const void* data, size_t size) = 0;
};

// A device file the library opens by path: a pseudo-terminal's slave (POSIX) or a named pipe
// (Windows). The unit's side is the stream.
class DeviceEndpoint {
 public:
  static std::unique_ptr<DeviceEndpoint> create();
  // A serial line whose device the library opens as a serial port: a pseudo-terminal, or under
  // Wine a pseudo-terminal pair joined by socat. Null where there is none.
  static std::unique_ptr<DeviceEndpoint> create_serial_line();
  virtual ~DeviceEndpoint() = default;
  virtual std::string device_path() const = 0;
  // The unit's end, once the library has opened the device (null on time-out).
  virtual Stream* wait_for_host(int timeout_ms) = 0;
  // Ready for the next host after the previous one closed the device.
  virtual void reset() = 0;
};

// A TCP listener, on the loopback address and an ephemeral port unless told otherwise.
class TcpListener {
 public:
  // `host`: an IPv4 address or name to listen on ("" for loopback); `port` 0 for any free one.
  // port() is 0 when the listener could not be set up.
  static std::unique_ptr<TcpListener> create(const std::string& host = "", uint16_t port = 0);
  virtual ~TcpListener() = default;
  virtual uint16_t port() const = 0;
  virtual std::unique_ptr<Stream> accept(int timeout_ms) = 0;
};

// A TCP connection to a listener on the loopback address; null when nobody listens there.
std::unique_ptr<Stream> connect_loopback(uint16_t port);

// Reads exactly `size` bytes with `timeout_ms` for each piece; false on time-out or close.
bool read_exact(Stream& stream, void* data, size_t size, int timeout_ms);

}  // namespace softunit
