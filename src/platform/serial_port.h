#pragma once

#include <cstdint>
#include <string>

#include "platform/device_file.h"
#include "platform/handle.h"

namespace efi::platform {

struct SerialPortTraits {
  using Raw = intptr_t;
  static constexpr Raw none() { return -1; }
  static void close(Raw raw) noexcept;
};
// A serial line: a communications port on Windows, a terminal device elsewhere.
using SerialPort = Owned<SerialPortTraits>;

// The system path of a port named the Windows way ("COM12"): "\\.\COM12" on Windows (the form
// that reaches COM10 and above), "<device directory>/COM12" elsewhere (a symbolic link to the
// terminal device, say /dev/ttyUSB0).
std::string serial_port_path(const std::string& name);

// Opens the port by its system path ("\\.\COM12", "/dev/ttyS0") for reading and writing, shared
// with nobody, with the line raw and no handshake. Empty on failure; last_error() tells why.
SerialPort open_serial_port(const char* path);

// Numbered as the Windows port settings number them.
enum class Parity : uint8_t { none, odd, even, mark, space };
enum class StopBits : uint8_t { one, one_and_half, two };
enum class Handshake : uint8_t { none, hardware, software };  // hardware: RTS/CTS, software: XON/XOFF

struct SerialSettings {
  uint32_t baud_rate = 57600;
  uint8_t data_bits = 8;  // 5 to 8
  Parity parity = Parity::none;
  StopBits stop_bits = StopBits::one;  // one and a half is two where the system has no such setting
  Handshake handshake = Handshake::none;
};

// False when a setting is out of range or the system refuses it (a baud rate without a name of
// its own there included); last_error() tells why.
bool configure_serial_port(const SerialPort& port, const SerialSettings& settings);

// Drops the bytes waiting in the receive queue, the transmit queue, or both.
bool purge_serial_port(const SerialPort& port, bool receive, bool transmit);

// As write_device and read_device: no transfer waits beyond its bounds.
Transfer write_serial(const SerialPort& port, const void* data, uint32_t size, TransferBounds bounds = DEVICE_BOUNDS);
Transfer read_serial(const SerialPort& port, void* data, uint32_t size, TransferBounds bounds = DEVICE_BOUNDS);

enum class SerialWait {
  received,   // bytes are waiting to be read
  woken,      // ended early with none (Windows: another thread changed the port's event mask)
  timed_out,  // nothing arrived within the time-out
  failed,     // last_error() tells why; a line that hung up included
};
// Returns as soon as bytes are waiting, woken by their arrival rather than by a timer. Meant for
// one waiting thread per port.
SerialWait wait_serial_receive(const SerialPort& port, uint32_t timeout_ms);

// Bytes received and not read yet, or -1 (last_error() tells why).
int64_t serial_bytes_waiting(const SerialPort& port);

}  // namespace efi::platform
