#include "platform/win32/overlapped.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/waiting.h"

namespace efi::platform::win32 {

namespace {

// One overlapped read or write with its own event, so concurrent operations never share a result.
struct Operation {
  OVERLAPPED overlapped{};
  Operation() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Operation() {
    if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
  }
};

}  // namespace

int64_t finish_overlapped(HANDLE handle, OVERLAPPED& overlapped, bool started, uint32_t timeout_ms) {
  DWORD moved = 0;
  if (!started) {
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    DWORD result = WAIT_TIMEOUT;
    wait_within(timeout_ms, [&](uint32_t ms) {
      result = WaitForSingleObject(overlapped.hEvent, ms);
      return result != WAIT_TIMEOUT;
    });
    if (result != WAIT_OBJECT_0) {
      CancelIoEx(handle, &overlapped);
      // The cancelled operation may still have moved bytes (its result then reports the
      // cancellation); the count is the truth.
      GetOverlappedResult(handle, &overlapped, &moved, TRUE);
      if (moved > 0) return moved;
      SetLastError(ERROR_TIMEOUT);
      return -1;
    }
  }
  if (!GetOverlappedResult(handle, &overlapped, &moved, TRUE)) return -1;
  return moved;
}

Transfer write_within(HANDLE handle, const void* data, uint32_t size, uint32_t stall_ms) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t written = 0;
  while (written < size) {
    Operation operation;
    if (!operation.overlapped.hEvent) return {written > 0, written};
    const bool started = WriteFile(handle, bytes + written, size - written, nullptr, &operation.overlapped) != 0;
    const int64_t n = finish_overlapped(handle, operation.overlapped, started, stall_ms);
    if (n <= 0) return {written > 0, written};
    written += static_cast<uint32_t>(n);
  }
  return {true, written};
}

Transfer read_within(HANDLE handle, void* data, uint32_t size, TransferBounds bounds) {
  auto* bytes = static_cast<unsigned char*>(data);
  uint32_t got = 0;
  const int64_t start = now_ms();
  while (got < size) {
    uint32_t wait = got ? bounds.quiet_ms : bounds.first_byte_ms;
    if (bounds.total_ms != UINT32_MAX) {
      const int64_t spent = now_ms() - start;
      if (spent >= bounds.total_ms) break;
      wait = static_cast<uint32_t>(std::min<int64_t>(wait, bounds.total_ms - spent));
    }
    Operation operation;
    if (!operation.overlapped.hEvent) break;
    const bool started = ReadFile(handle, bytes + got, size - got, nullptr, &operation.overlapped) != 0;
    const int64_t n = finish_overlapped(handle, operation.overlapped, started, wait);
    if (n < 0) {
      // A pipe whose other end is gone: what arrived is all there is.
      if (GetLastError() == ERROR_BROKEN_PIPE && got > 0) break;
      return got > 0 ? Transfer{true, got} : Transfer{false, 0};
    }
    if (n == 0) break;
    got += static_cast<uint32_t>(n);
  }
  return {true, got};
}

}  // namespace efi::platform::win32
