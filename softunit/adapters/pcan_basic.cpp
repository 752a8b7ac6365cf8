// The project's stand-in for the PCAN library: one channel on the virtual CAN bus. It offers the
// thirteen functions the PCAN link looks up; those the link never calls answer "not supported".
// Its receive signal works the way hosts of the real library rely on: on Windows the host hands
// over an event (CAN_SetValue) that is set whenever a frame is queued; elsewhere the host asks for
// a descriptor (CAN_GetValue) that is readable exactly while frames are queued. With
// EFILINK_PCAN_NO_RECEIVE_EVENT set at CAN_Initialize the stand-in refuses the parameter, as
// libraries without it do.
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "bus.h"
#include "exports.h"

namespace {

struct Message {
  uint32_t id;
  uint8_t message_type;
  uint8_t length;
  uint8_t data[8];
};
struct Timestamp {
  uint32_t milliseconds;
  uint16_t millisecond_overflow;
  uint16_t microseconds;
};
static_assert(sizeof(Message) == 16 && sizeof(Timestamp) == 8);

constexpr uint32_t OK = 0;
constexpr uint32_t RECEIVE_QUEUE_EMPTY = 0x20;
constexpr uint32_t BUS_UNREACHABLE = 0x1000;     // no hub at the configured port
constexpr uint32_t CHANNEL_NOT_INITIALIZED = 0x40000;
constexpr uint32_t ALREADY_INITIALIZED = 0x4000000;
constexpr uint32_t NOT_SUPPORTED = 0x8000000;
constexpr uint32_t ILLEGAL_PARAMETER_VALUE = 0x8000;
constexpr uint8_t EXTENDED = 0x02, STATUS = 0x80;
constexpr uint8_t API_VERSION = 0x05;
constexpr uint8_t RECEIVE_EVENT = 0x03;

std::mutex guard;
softunit::BusStation* station = nullptr;
std::chrono::steady_clock::time_point joined_at;
bool receive_event_refused = false;
uint64_t empty_reads = 0;

// The receive signal, kept in step with the station's queue under its own lock (the station's
// thread raises it, CAN_Read lowers it).
std::mutex signal_guard;
#if defined(_WIN32)
HANDLE receive_event = nullptr;  // the host's
#else
int receive_descriptor = -1;  // an eventfd holding 1 while frames are queued
bool descriptor_raised = false;
#endif

void frames_queued(softunit::BusStation& queued_on) {
  std::lock_guard lock(signal_guard);
#if defined(_WIN32)
  if (receive_event && queued_on.waiting() > 0) SetEvent(receive_event);
#else
  if (receive_descriptor >= 0 && !descriptor_raised && queued_on.waiting() > 0) {
    const uint64_t one = 1;
    descriptor_raised = write(receive_descriptor, &one, sizeof one) == sizeof one;
  }
#endif
}

void frame_taken(softunit::BusStation& taken_from) {
#if defined(_WIN32)
  (void)taken_from;
#else
  std::lock_guard lock(signal_guard);
  if (descriptor_raised && taken_from.waiting() == 0) {
    uint64_t count = 0;
    descriptor_raised = read(receive_descriptor, &count, sizeof count) != sizeof count;
  }
#endif
}

}  // namespace

STANDIN_EXPORT uint32_t STANDIN_CALL CAN_Initialize(uint16_t, uint16_t, uint8_t, uint32_t, uint16_t) {
  std::lock_guard lock(guard);
  if (station) return ALREADY_INITIALIZED;
  receive_event_refused = std::getenv("EFILINK_PCAN_NO_RECEIVE_EVENT") != nullptr;
#if !defined(_WIN32)
  {
    std::lock_guard lock(signal_guard);
    receive_descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    descriptor_raised = false;
  }
#endif
  auto* joining = new softunit::BusStation;
  if (!joining->join([joining] { frames_queued(*joining); })) {
    delete joining;
    return BUS_UNREACHABLE;
  }
  station = joining;
  joined_at = std::chrono::steady_clock::now();
  return OK;
}

STANDIN_EXPORT uint32_t STANDIN_CALL CAN_Uninitialize(uint16_t) {
  std::lock_guard lock(guard);
  if (!station) return CHANNEL_NOT_INITIALIZED;
  delete station;
  station = nullptr;
  std::lock_guard signal_lock(signal_guard);
#if defined(_WIN32)
  receive_event = nullptr;
#else
  if (receive_descriptor >= 0) close(receive_descriptor);
  receive_descriptor = -1;
  descriptor_raised = false;
#endif
  return OK;
}

STANDIN_EXPORT uint32_t STANDIN_CALL CAN_Write(uint16_t, Message* message) {
  std::lock_guard lock(guard);
  if (!station) return CHANNEL_NOT_INITIALIZED;
  softunit::BusFrame frame;
  frame.id = message->id;
  frame.kind = (message->message_type & EXTENDED) ? softunit::BUS_EXTENDED : softunit::BUS_STANDARD;
  frame.length = message->length > 8 ? 8 : message->length;
  std::memcpy(frame.data, message->data, 8);
  return station->send(frame) ? OK : BUS_UNREACHABLE;
}

STANDIN_EXPORT uint32_t STANDIN_CALL CAN_Read(uint16_t, Message* message, Timestamp* timestamp) {
  std::lock_guard lock(guard);
  if (!station) return CHANNEL_NOT_INITIALIZED;
  softunit::BusFrame frame;
  if (!station->take(frame)) {
    ++empty_reads;
    return RECEIVE_QUEUE_EMPTY;
  }
  frame_taken(*station);
  message->id = frame.id;
  message->message_type = frame.kind == softunit::BUS_STATUS ? STATUS : frame.kind == softunit::BUS_EXTENDED ? EXTENDED : 0;
  message->length = frame.length;
  std::memcpy(message->data, frame.data, 8);
  if (timestamp) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - joined_at).count();
    timestamp->milliseconds = static_cast<uint32_t>(us / 1000);
    timestamp->millisecond_overflow = static_cast<uint16_t>((us / 1000) >> 32);
    timestamp->microseconds = static_cast<uint16_t>(us % 1000);
  }
  return OK;
}

STANDIN_EXPORT uint32_t STANDIN_CALL CAN_InitializeFD(uint16_t, const char*) { return NOT_SUPPORTED; }
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_Reset(uint16_t) { return NOT_SUPPORTED; }
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_GetStatus(uint16_t) { return NOT_SUPPORTED; }
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_ReadFD(uint16_t, void*, uint64_t*) { return NOT_SUPPORTED; }
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_WriteFD(uint16_t, void*) { return NOT_SUPPORTED; }
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_FilterMessages(uint16_t, uint32_t, uint32_t, uint8_t) { return NOT_SUPPORTED; }
// Hosts ask for the library's version before they open a channel, and for the receive signal
// after; other settings are taken and have no effect on the virtual bus.
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_GetValue(uint16_t, uint8_t parameter, void* buffer, uint32_t size) {
  constexpr char VERSION[] = "4.6.0.0";
  if (parameter == RECEIVE_EVENT) {
#if defined(_WIN32)
    return NOT_SUPPORTED;  // Windows hosts hand an event over instead
#else
    std::lock_guard lock(guard);
    if (!station) return CHANNEL_NOT_INITIALIZED;
    if (receive_event_refused || receive_descriptor < 0) return NOT_SUPPORTED;
    if (!buffer || size < sizeof(int)) return ILLEGAL_PARAMETER_VALUE;
    std::memcpy(buffer, &receive_descriptor, sizeof(int));
    return OK;
#endif
  }
  if (parameter != API_VERSION) return NOT_SUPPORTED;
  if (!buffer || size < sizeof VERSION) return ILLEGAL_PARAMETER_VALUE;
  std::memcpy(buffer, VERSION, sizeof VERSION);
  return OK;
}
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_SetValue(uint16_t, uint8_t parameter, void* buffer, uint32_t size) {
  if (parameter != RECEIVE_EVENT) return OK;
#if defined(_WIN32)
  std::lock_guard lock(guard);
  if (!station) return CHANNEL_NOT_INITIALIZED;
  if (receive_event_refused) return NOT_SUPPORTED;
  if (!buffer || size != sizeof(HANDLE)) return ILLEGAL_PARAMETER_VALUE;
  {
    std::lock_guard signal_lock(signal_guard);
    std::memcpy(&receive_event, buffer, sizeof(HANDLE));
  }
  frames_queued(*station);  // frames that came before the event was handed over
  return OK;
#else
  (void)buffer;
  (void)size;
  return NOT_SUPPORTED;  // the descriptor is the library's, to be asked for
#endif
}
// For tests: how often a host has read the queue and found it empty.
STANDIN_EXPORT uint64_t STANDIN_CALL StandInEmptyReads() {
  std::lock_guard lock(guard);
  return empty_reads;
}
#ifndef STANDIN_INCOMPLETE
STANDIN_EXPORT uint32_t STANDIN_CALL CAN_GetErrorText(uint32_t, uint16_t, char* text) {
  if (text) std::strcpy(text, "stand-in PCAN library on the virtual CAN bus");
  return OK;
}
#endif
