#pragma once

#include <cstdint>
#include <string>

namespace efi {

// One serial port's description; the serial links read it, initialisation writes its port words.
struct SerialPortRecord {
  uint16_t port = 0;
  uint16_t channel = 0;
  uint16_t cardType = 0;
  uint16_t cardParameter = 0;
  uint16_t base = 0;
  uint16_t irq = 0;
  uint16_t baudCode = 0;
  uint16_t parityCode = 0;
  uint16_t lengthCode = 0;
  uint16_t stopCode = 0;
  uint16_t protocolCode = 0;
  std::wstring name;
  int32_t VxDPId = 0;
};

// The two serial port records of the process: the stream port and the command/response port.
struct SerialPorts {
  SerialPortRecord stream_port;
  SerialPortRecord command_response_port;

  // The values the records have from the library's load on.
  SerialPorts();
  // What every initialisation writes: the command/response port is named COM0 again, and a flag
  // word with a port number chooses its port words.
  void select(uint32_t flags);
};

}  // namespace efi
