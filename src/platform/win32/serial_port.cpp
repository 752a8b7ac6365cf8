#include "platform/serial_port.h"

#include <windows.h>

#include "platform/waiting.h"
#include "platform/win32/overlapped.h"

namespace efi::platform {

namespace {

HANDLE native(const SerialPort& port) { return reinterpret_cast<HANDLE>(port.get()); }

// A read waits for its first byte without a limit of the driver's own (the transfer's bounds end
// that wait), then returns what it has once the line pauses for 10 ms.
constexpr COMMTIMEOUTS READ_WHAT_ARRIVED{10, 0, 0, 0, 0};

// How often a wait looks at the receive queue on a port that cannot wait for events.
constexpr uint32_t QUEUE_POLL_MS = 2;

bool supported(const SerialSettings& settings) {
  return settings.data_bits >= 5 && settings.data_bits <= 8 && settings.parity <= Parity::space &&
         settings.stop_bits <= StopBits::two && settings.handshake <= Handshake::software;
}

// An event of its own for one wait, so that a reader and a writer on other threads never share it.
struct WaitEvent {
  OVERLAPPED overlapped{};
  WaitEvent() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~WaitEvent() {
    if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
  }
};

}  // namespace

void SerialPortTraits::close(Raw raw) noexcept { CloseHandle(reinterpret_cast<HANDLE>(raw)); }

std::string serial_port_path(const std::string& name) { return "\\\\.\\" + name; }

SerialPort open_serial_port(const char* path) {
  HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  SerialPort port(reinterpret_cast<intptr_t>(handle));
  COMMTIMEOUTS timeouts = READ_WHAT_ARRIVED;
  if (!SetCommTimeouts(handle, &timeouts) || !SetCommMask(handle, EV_RXCHAR)) {
    const DWORD error = GetLastError();
    port.reset();
    SetLastError(error);
    return {};
  }
  return port;
}

bool configure_serial_port(const SerialPort& port, const SerialSettings& settings) {
  if (!supported(settings)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(native(port), &line)) return false;
  line.BaudRate = settings.baud_rate;
  line.ByteSize = settings.data_bits;
  line.Parity = static_cast<BYTE>(settings.parity);
  line.fParity = settings.parity != Parity::none;
  line.StopBits = static_cast<BYTE>(settings.stop_bits);
  line.fBinary = TRUE;
  line.fNull = FALSE;
  line.fErrorChar = FALSE;
  line.fAbortOnError = FALSE;
  // The modem lines follow the handshake: without one, DTR and RTS stay low.
  const bool hardware = settings.handshake == Handshake::hardware;
  const bool software = settings.handshake == Handshake::software;
  line.fOutxCtsFlow = hardware;
  line.fOutxDsrFlow = hardware;
  line.fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
  line.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
  line.fOutX = software;
  line.fInX = software;
  return SetCommState(native(port), &line) != 0;
}

bool purge_serial_port(const SerialPort& port, bool receive, bool transmit) {
  const DWORD what = (receive ? PURGE_RXCLEAR : 0) | (transmit ? PURGE_TXCLEAR : 0);
  return what == 0 || PurgeComm(native(port), what) != 0;
}

Transfer write_serial(const SerialPort& port, const void* data, uint32_t size, TransferBounds bounds) {
  return win32::write_within(native(port), data, size, bounds.first_byte_ms);
}

Transfer read_serial(const SerialPort& port, void* data, uint32_t size, TransferBounds bounds) {
  return win32::read_within(native(port), data, size, bounds);
}

SerialWait wait_serial_receive(const SerialPort& port, uint32_t timeout_ms) {
  const int64_t waiting = serial_bytes_waiting(port);
  if (waiting != 0) return waiting > 0 ? SerialWait::received : SerialWait::failed;
  WaitEvent wait;
  if (!wait.overlapped.hEvent) return SerialWait::failed;
  DWORD events = 0;
  const bool started = WaitCommEvent(native(port), &events, &wait.overlapped) != 0;
  // Bytes that came between the count above and the start of the wait must not be waited for.
  if (!started && GetLastError() == ERROR_IO_PENDING && serial_bytes_waiting(port) > 0) {
    CancelIoEx(native(port), &wait.overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(native(port), &wait.overlapped, &ignored, TRUE);
    return SerialWait::received;
  }
  const int64_t start = now_ms();
  if (win32::finish_overlapped(native(port), wait.overlapped, started, timeout_ms) >= 0)
    // A wait that ends with no event bits was ended by a new event mask.
    return (events & EV_RXCHAR) ? SerialWait::received : SerialWait::woken;
  if (GetLastError() == ERROR_TIMEOUT) return SerialWait::timed_out;
  if (GetLastError() != ERROR_OPERATION_ABORTED) return SerialWait::failed;
  // Ports whose driver cannot watch the line end every event wait at once, aborted (Wine's on a
  // terminal without modem lines, some virtual ports); there the queue is looked at instead.
  int64_t now_waiting = 0;
  const int64_t spent = now_ms() - start;
  const bool ended = wait_within(spent >= timeout_ms ? 0 : static_cast<uint32_t>(timeout_ms - spent), [&](uint32_t ms) {
    now_waiting = serial_bytes_waiting(port);
    if (now_waiting != 0 || ms == 0) return now_waiting != 0;
    Sleep(ms < QUEUE_POLL_MS ? ms : QUEUE_POLL_MS);
    return false;
  });
  if (ended) return now_waiting > 0 ? SerialWait::received : SerialWait::failed;
  SetLastError(ERROR_TIMEOUT);
  return SerialWait::timed_out;
}

int64_t serial_bytes_waiting(const SerialPort& port) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(native(port), &errors, &status)) return -1;
  return status.cbInQue;
}

}  // namespace efi::platform
