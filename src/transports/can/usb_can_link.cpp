#include "transports/can/usb_can_link.h"

#include <algorithm>

#include "platform/system_error.h"
#include "platform/waiting.h"

namespace efi {

namespace {

// The initialisation record: 500 kbit/s, and only extended identifier 0x16666667 passes the
// acceptance filter (the code is the identifier shifted left by 3; the three low bits are masked).
constexpr UcanInitRecord CHANNEL_SETUP = {
    sizeof(UcanInitRecord), 0, 0x00, 0x1C, 0x1A, 0x00000007, CAN_UNIT_IDENTIFIER << 3, 0, 4096, 4096};

bool from_unit(const UcanMessage& message) {
  return message.id == CAN_UNIT_IDENTIFIER && (message.frame_format & UCAN_FRAME_EXTENDED);
}

}  // namespace

UsbCanLink::~UsbCanLink() { shut_down(); }

void EFI_ADAPTER_CALL UsbCanLink::on_receive(uint8_t, uint32_t event, uint8_t, void* context) {
  if (event != UCAN_EVENT_RECEIVE) return;
  auto* link = static_cast<UsbCanLink*>(context);
  if (!platform::set_event(link->receive_event))
    link->report.error(TextWidth::narrow, "UsbCanSystec USBCAN_EVENT_RECEIVE: SetEvent failed exitcode = %08x",
                       platform::last_error());
}

void EFI_ADAPTER_CALL UsbCanLink::on_connect_control(uint32_t, uint32_t, void*) {}

// Loads the library and finds every function the link calls; reports what is missing.
bool UsbCanLink::load(const LinkContext& context) {
  const std::string file = context.adapter_library(AdapterLibrary::usb_can);
  library = platform::load_module(file.c_str());
  if (!library) {
    context.report.error(TextWidth::narrow, "UsbCanSystecInitializeInterfaces: unable to load %s", file.c_str());
    return false;
  }
  const struct {
    const char* name;
    void** slot;
  } functions[] = {
      {"UcanInitHwConnectControlEx", reinterpret_cast<void**>(&api.init_hw_connect_control_ex)},
      {"UcanGetVersionEx", reinterpret_cast<void**>(&api.get_version_ex)},
      {"UcanInitHardwareEx", reinterpret_cast<void**>(&api.init_hardware_ex)},
      {"UcanInitCanEx2", reinterpret_cast<void**>(&api.init_can_ex2)},
      {"UcanDeinitCanEx", reinterpret_cast<void**>(&api.deinit_can_ex)},
      {"UcanDeinitHardware", reinterpret_cast<void**>(&api.deinit_hardware)},
      {"UcanWriteCanMsgEx", reinterpret_cast<void**>(&api.write_can_msg_ex)},
      {"UcanReadCanMsgEx", reinterpret_cast<void**>(&api.read_can_msg_ex)},
  };
  for (const auto& function : functions) {
    *function.slot = platform::find_symbol(library, function.name);
    if (!*function.slot) {
      context.report.error(TextWidth::narrow, "UsbCanSystecInitializeInterfaces: %s has no %s", file.c_str(),
                           function.name);
      api = {};
      library.reset();
      return false;
    }
  }
  return true;
}

// Brings the adapter up; after a close this starts again from the library's load.
uint32_t UsbCanLink::initialize(const LinkContext& context, uint32_t, const char*) {
  if (can_ready == 1) return 0;
  report = context.report;
  if (!load(context)) return STATUS_CR_NOT_CONNECTED;
  api.init_hw_connect_control_ex(on_connect_control, nullptr);
  api.get_version_ex(1);
  if (api.init_hardware_ex(&handle, UCAN_ANY_MODULE, on_receive, this) != 0) {
    handle = UCAN_NO_HANDLE;
    library.reset();
    return STATUS_CR_NOT_CONNECTED;
  }
  UcanInitRecord setup = CHANNEL_SETUP;
  if (api.init_can_ex2(handle, 0, &setup) != 0) {
    api.deinit_hardware(handle);
    handle = UCAN_NO_HANDLE;
    library.reset();
    return STATUS_CR_NOT_CONNECTED;
  }
  can_ready = 1;
  if (!receive_event) receive_event = platform::open_named_event(USB_CAN_RECEIVE_EVENT, platform::EventReset::manual);
  for (UcanMessage& message : transmit) {
    message.id = CAN_HOST_IDENTIFIER;
    message.frame_format = UCAN_FRAME_EXTENDED;
    message.length = 8;
  }
  return 0;
}

void UsbCanLink::shut_down() {
  if (can_ready != 1) return;
  api.deinit_can_ex(handle, 0);
  api.deinit_hardware(handle);
  handle = UCAN_NO_HANDLE;
  receive_event.reset();
  can_ready = 0;
  api = {};
  library.reset();
}

uint32_t UsbCanLink::close(const LinkContext&, uint32_t) {
  shut_down();
  return 0;
}

uint32_t UsbCanLink::send(const LinkContext& context, CRM* crm) {
  return can_exchange(*this, context.clock, context.report, crm, context.tracer);
}

uint32_t UsbCanLink::write_result(uint8_t result) const {
  if (result == 0) return 0;
  if (result == UCAN_WRITE_REFUSED || result < UCAN_WARNING) return USB_CAN_ADAPTER_FAILED;
  return 0;
}

uint32_t UsbCanLink::write_frames(uint16_t slot, uint16_t& count) {
  uint32_t accepted = count;
  const uint32_t status = write_result(api.write_can_msg_ex(handle, 0, &transmit[slot], &accepted));
  count = static_cast<uint16_t>(accepted);
  return status;
}

uint32_t UsbCanLink::write_flow_control(uint8_t block_size) {
  transmit[0].data[0] = CAN_FLOW_CONTROL;
  transmit[0].data[1] = block_size;
  uint32_t count = 1;
  return write_result(api.write_can_msg_ex(handle, 0, &transmit[0], &count));
}

// The event is re-armed before each look into the library's queue, so a frame that arrives after
// the look sets it again and the wait ends at once; with the queue empty the wait costs nothing.
// Other processes share the named event and may re-arm it too: the queue is looked into again at
// least every USB_CAN_LOOK_AGAIN_MS.
uint32_t UsbCanLink::read_frames(uint16_t& count, uint32_t wait_ms) {
  uint32_t status = 0;
  uint16_t kept = 0;
  // One look into the queue, then a wait for the event of at most `ms`; true once frames from the
  // unit are in or the library failed.
  const auto look = [&](uint32_t ms) {
    for (;;) {
      platform::reset_event(receive_event);
      uint32_t placed = count;
      uint8_t channel = 0;
      const uint8_t result = api.read_can_msg_ex(handle, &channel, receive.data(), &placed);
      if (result == 0 && placed > 0) {
        for (uint32_t i = 0; i < placed && i < count; ++i)
          if (from_unit(receive[i])) receive[kept++] = receive[i];
        if (kept > 0) return true;
        continue;
      }
      if (result != 0 && result < UCAN_WARNING) {
        status = USB_CAN_ADAPTER_FAILED;
        return true;
      }
      break;
    }
    if (ms == 0) return false;
    if (platform::wait_event(receive_event, std::min(ms, USB_CAN_LOOK_AGAIN_MS)) != platform::EventWait::failed)
      return false;
    status = USB_CAN_ADAPTER_FAILED;
    return true;
  };
  platform::wait_within(wait_ms, look);
  if (status == 0) count = kept;
  return status;
}

}  // namespace efi
