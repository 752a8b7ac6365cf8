// The project's stand-in for the USB-CAN module's library: one module with one CAN channel on the
// virtual CAN bus. Received frames pass the acceptance filter of the channel's set-up record and
// are announced through the receive callback, on the station's own thread.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "bus.h"
#include "exports.h"

namespace {

#pragma pack(push, 1)
struct Message {
  uint32_t id;
  uint8_t frame_format;
  uint8_t length;
  uint8_t data[8];
  uint32_t time;
};
struct InitRecord {
  uint32_t size;
  uint8_t mode;
  uint8_t bus_timing_0;
  uint8_t bus_timing_1;
  uint8_t output_control;
  uint32_t acceptance_mask;
  uint32_t acceptance_code;
  uint32_t baud_rate_ex;
  uint16_t receive_entries;
  uint16_t transmit_entries;
};
#pragma pack(pop)
static_assert(sizeof(Message) == 18 && sizeof(InitRecord) == 24);

using ReceiveCallback = void(STANDIN_CALL*)(uint8_t handle, uint32_t event, uint8_t channel, void* context);
using ConnectCallback = void(STANDIN_CALL*)(uint32_t event, uint32_t parameter, void* context);

constexpr uint8_t OK = 0;
constexpr uint8_t NO_MODULE = 0x01;        // no hub at the configured port
constexpr uint8_t ILLEGAL_HANDLE = 0x02;
constexpr uint8_t ILLEGAL_PARAMETER = 0x03;
constexpr uint8_t CHANNEL_NOT_READY = 0x04;
constexpr uint8_t NO_MESSAGE = 0x80;       // a warning: nothing waits
constexpr uint8_t WRITE_REFUSED = 0x91;
constexpr uint8_t EXTENDED = 0x80;
constexpr uint32_t EVENT_RECEIVE = 2;

std::mutex guard;
softunit::BusStation* station = nullptr;
bool can_ready = false;
ReceiveCallback receive_callback = nullptr;
// What every write answers when not 0, after accepting its messages (0x91 refuses them): set from
// EFILINK_USBCAN_WRITE_RESULT at the hardware's initialisation, for tests.
uint8_t write_result = OK;
void* receive_context = nullptr;

bool valid(uint8_t handle) { return station && handle == 0; }

}  // namespace

STANDIN_EXPORT uint8_t STANDIN_CALL UcanInitHwConnectControlEx(ConnectCallback, void*) { return OK; }

STANDIN_EXPORT uint32_t STANDIN_CALL UcanGetVersionEx(uint32_t) { return 0x00010000; }

STANDIN_EXPORT uint8_t STANDIN_CALL UcanInitHardwareEx(uint8_t* handle, uint8_t, ReceiveCallback callback,
                                                        void* context) {
  std::lock_guard lock(guard);
  if (!handle) return ILLEGAL_PARAMETER;
  if (station) return ILLEGAL_HANDLE;
  receive_callback = callback;
  receive_context = context;
  auto* joining = new softunit::BusStation;
  if (!joining->join([joining] {
        if (receive_callback) receive_callback(0, EVENT_RECEIVE, 0, receive_context);
      })) {
    delete joining;
    return NO_MODULE;
  }
  joining->filter([](const softunit::BusFrame&) { return false; });  // nothing until the channel is set up
  station = joining;
  const char* result = std::getenv("EFILINK_USBCAN_WRITE_RESULT");
  write_result = result ? static_cast<uint8_t>(std::strtoul(result, nullptr, 0)) : OK;
  *handle = 0;
  return OK;
}

STANDIN_EXPORT uint8_t STANDIN_CALL UcanInitCanEx2(uint8_t handle, uint8_t channel, InitRecord* setup) {
  std::lock_guard lock(guard);
  if (!valid(handle)) return ILLEGAL_HANDLE;
  if (channel != 0 || !setup || setup->size != sizeof(InitRecord)) return ILLEGAL_PARAMETER;
  const uint32_t mask = setup->acceptance_mask, code = setup->acceptance_code;
  station->filter([mask, code](const softunit::BusFrame& frame) {
    if (frame.kind == softunit::BUS_STATUS) return false;
    const uint32_t aligned = frame.kind == softunit::BUS_EXTENDED ? frame.id << 3 : frame.id << 21;
    return ((aligned ^ code) & ~mask) == 0;
  });
  can_ready = true;
  return OK;
}

#ifndef STANDIN_INCOMPLETE
STANDIN_EXPORT uint8_t STANDIN_CALL UcanDeinitCanEx(uint8_t handle, uint8_t) {
  std::lock_guard lock(guard);
  if (!valid(handle)) return ILLEGAL_HANDLE;
  can_ready = false;
  return OK;
}
#endif

STANDIN_EXPORT uint8_t STANDIN_CALL UcanDeinitHardware(uint8_t handle) {
  softunit::BusStation* leaving;
  {
    std::lock_guard lock(guard);
    if (!valid(handle)) return ILLEGAL_HANDLE;
    leaving = station;
    station = nullptr;
    can_ready = false;
  }
  delete leaving;  // joins the receive thread: no callback after this returns
  receive_callback = nullptr;
  return OK;
}

STANDIN_EXPORT uint8_t STANDIN_CALL UcanWriteCanMsgEx(uint8_t handle, uint8_t, Message* messages, uint32_t* count) {
  std::lock_guard lock(guard);
  if (!valid(handle)) return ILLEGAL_HANDLE;
  if (!can_ready) return CHANNEL_NOT_READY;
  if (!messages || !count) return ILLEGAL_PARAMETER;
  if (write_result == WRITE_REFUSED) {
    *count = 0;
    return write_result;
  }
  for (uint32_t i = 0; i < *count; ++i) {
    softunit::BusFrame frame;
    frame.id = messages[i].id;
    frame.kind = (messages[i].frame_format & EXTENDED) ? softunit::BUS_EXTENDED : softunit::BUS_STANDARD;
    frame.length = messages[i].length > 8 ? 8 : messages[i].length;
    std::memcpy(frame.data, messages[i].data, 8);
    if (!station->send(frame)) {
      *count = i;
      return NO_MODULE;
    }
  }
  return write_result;
}

STANDIN_EXPORT uint8_t STANDIN_CALL UcanReadCanMsgEx(uint8_t handle, uint8_t* channel, Message* messages,
                                                      uint32_t* count) {
  std::lock_guard lock(guard);
  if (!valid(handle)) return ILLEGAL_HANDLE;
  if (!can_ready) return CHANNEL_NOT_READY;
  if (!messages || !count || !channel) return ILLEGAL_PARAMETER;
  uint32_t placed = 0;
  softunit::BusFrame frame;
  while (placed < *count && station->take(frame)) {
    Message& message = messages[placed++];
    message.id = frame.id;
    message.frame_format = frame.kind == softunit::BUS_EXTENDED ? EXTENDED : 0;
    message.length = frame.length;
    std::memcpy(message.data, frame.data, 8);
    message.time = 0;
  }
  *count = placed;
  *channel = 0;
  return placed > 0 ? OK : NO_MESSAGE;
}
