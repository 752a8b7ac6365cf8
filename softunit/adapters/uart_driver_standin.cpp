// A stand-in for the UART driver library: the documented functions on top of the platform's serial
// port, so that the UART-driver link runs against a pseudo-terminal. A port is found by its card
// words: CDRVXD32_PORT_PCI<channel> for the PCI card (cardType 1), CDRVXD32_PORT_<base in hex> for a
// legacy port (CDRVXD32_PORT_3F8), each an environment variable naming the device to open.
// Setting codes follow the COM-port link's tables; on the PCI card the rate is 1,152,000 / divisor.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/module.h"
#include "platform/serial_port.h"

#if defined(_WIN32)
#include <windows.h>
// Exported through the module definition, which gives the documented ordinals.
#define STANDIN_EXPORT extern "C"
#else
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using namespace efi::platform;

// Port ids 0 to 2, the ones a full close releases.
constexpr int MAX_PORTS = 3;
constexpr int32_t NO_SUCH_PORT = -2;
constexpr int32_t OPEN_FAILED = -3;
constexpr int32_t BAD_SETTING = 0x21;

struct Port {
  std::string key, path;
  SerialPort line;
  uint16_t port = 0, base = 0, irq = 0, card_type = 0, baud_code = 0, length_code = 0, parity_code = 0,
           stop_code = 0, protocol_code = 0;
  uint32_t total_in = 0, total_out = 0, flushes = 0;
};

struct Driver {
  std::mutex mutex;
  Port ports[MAX_PORTS];
  std::map<int32_t, int32_t> divisors;  // baud code -> divisor
  std::map<std::string, int32_t> failures;
  std::string calls;

  // The status a test asked the next call of `function` to return, 0 when none.
  int32_t failure(const char* function) {
    const auto found = failures.find(function);
    if (found == failures.end()) return 0;
    const int32_t status = found->second;
    failures.erase(found);
    return status;
  }
  void log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    calls += line;
    calls += '\n';
  }
  Port* port(int32_t id) { return id >= 0 && id < MAX_PORTS && ports[id].line ? &ports[id] : nullptr; }
};

// Set once the driver's state is destroyed (the process ends, or the library is unloaded): a call
// that comes after that, from a host's library cleaning up late, finds no port and does nothing.
// A plain flag, which outlives every object of the library.
bool torn_down = false;

struct DriverLifetime {
  Driver state;
  ~DriverLifetime() { torn_down = true; }
};

Driver* driver() {
  static DriverLifetime lifetime;
  return torn_down ? nullptr : &lifetime.state;
}

constexpr int32_t DRIVER_GONE = -4;

std::string environment(const std::string& name) {
#if defined(_WIN32)
  char value[512];
  const DWORD size = GetEnvironmentVariableA(name.c_str(), value, sizeof value);
  return size > 0 && size < sizeof value ? std::string(value, size) : std::string();
#else
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
#endif
}

std::string port_key(int32_t base, int32_t card_type, int32_t channel) {
  char key[32];
  if (card_type == 1)
    std::snprintf(key, sizeof key, "PCI%d", static_cast<int>(channel));
  else
    std::snprintf(key, sizeof key, "%X", static_cast<unsigned>(base));
  return key;
}

bool baud_rate(uint16_t code, uint32_t& rate) {
  static const std::map<uint16_t, uint32_t> rates = {{4, 1200},  {5, 2400},  {7, 9600},   {8, 19200},
                                                     {9, 38400}, {10, 57600}, {11, 115200}};
  const auto found = rates.find(code);
  if (found == rates.end()) return false;
  rate = found->second;
  return true;
}

}  // namespace

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDInit() {
  Driver* state = driver();
  if (!state) return DRIVER_GONE;
  std::lock_guard lock(state->mutex);
  state->log("Init");
  return state->failure("Init");
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDOpenPort(int32_t port, int32_t base, int32_t irq, int32_t card_type,
                                                        int32_t channel, int32_t card_parameter, int32_t reserved) {
  Driver* live = driver();
  if (!live) return DRIVER_GONE;
  Driver& state = *live;
  std::lock_guard lock(state.mutex);
  state.log("OpenPort %d %x %x %d %d %x %d", port, base, irq, card_type, channel, card_parameter, reserved);
  if (const int32_t status = state.failure("OpenPort")) return status;
  const std::string key = port_key(base, card_type, channel);
  const std::string path = environment("CDRVXD32_PORT_" + key);
  if (path.empty()) return NO_SUCH_PORT;
  // The same port again is the same id; a port whose mapping moved is opened afresh.
  for (int id = 0; id < MAX_PORTS; ++id) {
    if (!state.ports[id].line || state.ports[id].key != key) continue;
    if (state.ports[id].path == path) return id;
    state.ports[id] = Port{};
  }
  for (int id = 0; id < MAX_PORTS; ++id) {
    Port& slot = state.ports[id];
    if (slot.line) continue;
    slot = Port{};
    slot.line = open_serial_port(path.c_str());
    if (!slot.line) return OPEN_FAILED;
    slot.key = key;
    slot.path = path;
    slot.port = static_cast<uint16_t>(port);
    slot.base = static_cast<uint16_t>(base);
    slot.irq = static_cast<uint16_t>(irq);
    slot.card_type = static_cast<uint16_t>(card_type);
    return id;
  }
  return OPEN_FAILED;
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDSetBaudDiv(int32_t baud_code, int32_t divisor) {
  Driver* state = driver();
  if (!state) return DRIVER_GONE;
  std::lock_guard lock(state->mutex);
  state->log("SetBaudDiv %d %d", baud_code, divisor);
  if (const int32_t status = state->failure("SetBaudDiv")) return status;
  if (divisor <= 0) return BAD_SETTING;
  state->divisors[baud_code] = divisor;
  return 0;
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDSetPortCharacteristics(int32_t id, int32_t baud_code,
                                                                      int32_t parity_code, int32_t length_code,
                                                                      int32_t stop_code, int32_t protocol_code) {
  Driver* live = driver();
  if (!live) return DRIVER_GONE;
  Driver& state = *live;
  std::lock_guard lock(state.mutex);
  state.log("SetPortCharacteristics %d %d %d %d %d %d", id, baud_code, parity_code, length_code, stop_code,
            protocol_code);
  if (const int32_t status = state.failure("SetPortCharacteristics")) return status;
  Port* port = state.port(id);
  if (!port) return NO_SUCH_PORT;
  SerialSettings settings;
  const auto divisor = state.divisors.find(baud_code);
  if (port->card_type == 1 && divisor != state.divisors.end())
    settings.baud_rate = 1152000u / static_cast<uint32_t>(divisor->second);
  else if (!baud_rate(static_cast<uint16_t>(baud_code), settings.baud_rate))
    return BAD_SETTING;
  if (length_code < 0 || length_code > 3 || parity_code < 0 || parity_code > 4 || stop_code < 0 || stop_code > 2)
    return BAD_SETTING;
  settings.data_bits = static_cast<uint8_t>(5 + length_code);
  settings.parity = static_cast<Parity>(parity_code);
  settings.stop_bits = static_cast<StopBits>(stop_code);
  settings.handshake = protocol_code == 0 ? Handshake::hardware : protocol_code == 7 ? Handshake::software : Handshake::none;
  if (!configure_serial_port(port->line, settings)) return BAD_SETTING;
  port->baud_code = static_cast<uint16_t>(baud_code);
  port->parity_code = static_cast<uint16_t>(parity_code);
  port->length_code = static_cast<uint16_t>(length_code);
  port->stop_code = static_cast<uint16_t>(stop_code);
  port->protocol_code = static_cast<uint16_t>(protocol_code);
  return 0;
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDFlush(int32_t id, int32_t which) {
  Driver* live = driver();
  if (!live) return DRIVER_GONE;
  Driver& state = *live;
  std::lock_guard lock(state.mutex);
  state.log("Flush %d %d", id, which);
  if (const int32_t status = state.failure("Flush")) return status;
  Port* port = state.port(id);
  if (!port) return NO_SUCH_PORT;
  // 1 drops what waits to be read, 2 that and what waits to be sent.
  if (!purge_serial_port(port->line, true, which >= 2)) return BAD_SETTING;
  ++port->flushes;
  return 0;
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDGetPort(int32_t id, void* record, int32_t mode) {
  Driver* live = driver();
  if (!live) return DRIVER_GONE;
  Driver& state = *live;
  std::lock_guard lock(state.mutex);
  state.log("GetPort %d %d", id, mode);
  if (const int32_t status = state.failure("GetPort")) return status;
  Port* port = state.port(id);
  if (!port || !record) return NO_SUCH_PORT;
  auto* bytes = static_cast<unsigned char*>(record);
  std::memset(bytes, 0, 276);
  auto put32 = [bytes](int offset, uint32_t value) { std::memcpy(bytes + offset, &value, 4); };
  auto put16 = [bytes](int offset, uint16_t value) { std::memcpy(bytes + offset, &value, 2); };
  put32(0x00, port->total_in);
  put32(0x04, port->total_out);
  const int64_t waiting = serial_bytes_waiting(port->line);
  put32(0x08, waiting > 0 ? static_cast<uint32_t>(waiting) : 0);
  put32(0x10, 4096);
  put32(0x14, 4096);
  put32(0x34, port->flushes);
  bytes[0x3A] = 6;  // a 16550-like UART
  put16(0x3C, port->port);
  put16(0x3E, port->base);
  put16(0x40, port->irq);
  put16(0x42, port->baud_code);
  put16(0x46, port->length_code);
  put16(0x48, port->parity_code);
  put16(0x4A, port->stop_code);
  put16(0x4C, port->protocol_code);
  put32(0x68, port->total_in);
  put32(0x6C, port->total_out);
  return 0;
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDPutPacket(int32_t id, int32_t count, const void* buffer) {
  Driver* live = driver();
  if (!live) return 0;
  Driver& state = *live;
  std::lock_guard lock(state.mutex);
  if (state.failure("PutPacket")) return 0;
  Port* port = state.port(id);
  if (!port || count <= 0) return 0;
  const Transfer written = write_serial(port->line, buffer, static_cast<uint32_t>(count));
  const int32_t moved = written.ok ? static_cast<int32_t>(written.count) : 0;
  port->total_out += static_cast<uint32_t>(moved);
  return moved;
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDGetPacket(int32_t id, int32_t count, void* buffer) {
  Driver* live = driver();
  if (!live) return 0;
  Driver& state = *live;
  std::lock_guard lock(state.mutex);
  Port* port = state.port(id);
  if (!port || count <= 0) return 0;
  // Only what has arrived: the driver never waits.
  const int64_t waiting = serial_bytes_waiting(port->line);
  if (waiting <= 0) return 0;
  const uint32_t wanted = waiting < count ? static_cast<uint32_t>(waiting) : static_cast<uint32_t>(count);
  const Transfer read = read_serial(port->line, buffer, wanted, {100, 0});
  const int32_t moved = read.ok ? static_cast<int32_t>(read.count) : 0;
  port->total_in += static_cast<uint32_t>(moved);
  return moved;
}

STANDIN_EXPORT int32_t EFI_ADAPTER_CALL WCSCVxDCleanup(int32_t id) {
  Driver* live = driver();
  if (!live) return 0;
  Driver& state = *live;
  std::lock_guard lock(state.mutex);
  state.log("Cleanup %d", id);
  if (const int32_t status = state.failure("Cleanup")) return status;
  if (Port* port = state.port(id)) *port = Port{};
  return 0;
}

// For tests, by name on every system: the calls made so far (one line each, setting and port
// calls only), and a status that the next call of a function returns instead of doing its work.
STANDIN_EXPORT int32_t StandInTakeCalls(char* text, int32_t size) {
  Driver* state = driver();
  if (!state) return 0;
  std::lock_guard lock(state->mutex);
  const std::string calls = std::move(state->calls);
  state->calls.clear();
  if (text && size > 0) {
    const size_t copied = calls.size() < static_cast<size_t>(size - 1) ? calls.size() : static_cast<size_t>(size - 1);
    std::memcpy(text, calls.data(), copied);
    text[copied] = '\0';
  }
  return static_cast<int32_t>(calls.size());
}

STANDIN_EXPORT void StandInFailNext(const char* function, int32_t status) {
  Driver* state = driver();
  if (!state) return;
  std::lock_guard lock(state->mutex);
  state->failures[function] = status;
}
