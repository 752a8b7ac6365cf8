#include "transports/can/pcan_link.h"

#include "protocol/status.h"

namespace efi {

namespace {

constexpr const char* PCAN_FUNCTION_NAMES[13] = {
    "CAN_Initialize", "CAN_InitializeFD", "CAN_Uninitialize",   "CAN_Reset",    "CAN_GetStatus",
    "CAN_Read",       "CAN_ReadFD",       "CAN_Write",          "CAN_WriteFD",  "CAN_FilterMessages",
    "CAN_GetValue",   "CAN_SetValue",     "CAN_GetErrorText"};
enum Function { INITIALIZE = 0, UNINITIALIZE = 2, READ = 5, WRITE = 7, GET_VALUE = 10, SET_VALUE = 11 };
constexpr const char* PCAN_TITLE = "Error!";

// Only the unit's answers count: extended data frames on its identifier.
bool from_unit(const PcanMessage& message) {
  return message.id == CAN_UNIT_IDENTIFIER &&
         (message.message_type & (PCAN_MESSAGE_EXTENDED | PCAN_MESSAGE_RTR | PCAN_MESSAGE_STATUS)) ==
             PCAN_MESSAGE_EXTENDED;
}

}  // namespace

PcanBasicLoader::PcanBasicLoader(const std::string& file, const Reporter& report) {
  module_ = platform::load_module(file.c_str());
  if (!module_) {
    report.always(PCAN_TITLE, TextWidth::wide, "Error: \"Unable to find the DLL %s!\"", file.c_str());
    return;
  }
  bool all = true;
  for (size_t i = 0; i < functions_.size(); ++i) {
    functions_[i] = platform::find_symbol(module_, PCAN_FUNCTION_NAMES[i]);
    all = all && functions_[i];
  }
  loaded_ = all;
  if (!all) report.always(PCAN_TITLE, TextWidth::wide, "Error: \"DLL functions could not be loaded!\"");
}

PcanBasicLoader::~PcanBasicLoader() {
  functions_.fill(nullptr);
  loaded_ = false;
  module_.reset();
}

uint32_t PcanBasicLoader::initialize(uint16_t channel, uint16_t bit_rate, uint8_t hardware_type, uint32_t io_port,
                                     uint16_t interrupt) const {
  if (!loaded_) return PCAN_LIBRARY_NOT_LOADED;
  return reinterpret_cast<Initialize>(functions_[INITIALIZE])(channel, bit_rate, hardware_type, io_port, interrupt);
}

uint32_t PcanBasicLoader::uninitialize(uint16_t channel) const {
  if (!loaded_) return PCAN_LIBRARY_NOT_LOADED;
  return reinterpret_cast<Uninitialize>(functions_[UNINITIALIZE])(channel);
}

uint32_t PcanBasicLoader::write(uint16_t channel, PcanMessage* message) const {
  if (!loaded_) return PCAN_LIBRARY_NOT_LOADED;
  return reinterpret_cast<Write>(functions_[WRITE])(channel, message);
}

uint32_t PcanBasicLoader::read(uint16_t channel, PcanMessage* message, PcanTimestamp* timestamp) const {
  if (!loaded_) return PCAN_LIBRARY_NOT_LOADED;
  return reinterpret_cast<Read>(functions_[READ])(channel, message, timestamp);
}

uint32_t PcanBasicLoader::get_value(uint16_t channel, uint8_t parameter, void* buffer, uint32_t size) const {
  if (!loaded_) return PCAN_LIBRARY_NOT_LOADED;
  return reinterpret_cast<Value>(functions_[GET_VALUE])(channel, parameter, buffer, size);
}

uint32_t PcanBasicLoader::set_value(uint16_t channel, uint8_t parameter, void* buffer, uint32_t size) const {
  if (!loaded_) return PCAN_LIBRARY_NOT_LOADED;
  return reinterpret_cast<Value>(functions_[SET_VALUE])(channel, parameter, buffer, size);
}

platform::AdapterValueCall PcanLink::value_call(bool set) const {
  const PcanBasicLoader* library = loader.get();
  return [library, set](void* buffer, uint32_t size) {
    return set ? library->set_value(PCAN_CHANNEL, PCAN_RECEIVE_EVENT, buffer, size)
               : library->get_value(PCAN_CHANNEL, PCAN_RECEIVE_EVENT, buffer, size);
  };
}

uint32_t PcanLink::initialize(const LinkContext& context, uint32_t, const char*) {
  if (pcan_ready) return 0;
  clock = context.clock;
  loader = std::make_unique<PcanBasicLoader>(context.adapter_library(AdapterLibrary::pcan), context.report);
  // Reads wait on the library's receive signal; a library that refuses it is read in steps.
  if (loader->initialize(PCAN_CHANNEL, PCAN_BIT_RATE, 0, 0, 0) == 0)
    receive_signal.open(value_call(true), value_call(false));
  for (PcanMessage& message : transmit) {
    message.id = CAN_HOST_IDENTIFIER;
    message.message_type = PCAN_MESSAGE_EXTENDED;
    message.length = 8;
  }
  // Set even without the library: every exchange then fails at its first write.
  pcan_ready = 1;
  return 0;
}

uint32_t PcanLink::close(const LinkContext&, uint32_t) {
  if (!pcan_ready) return 0;
  receive_signal.close(value_call(true));
  loader->uninitialize(PCAN_CHANNEL);
  loader.reset();
  pcan_ready = 0;
  return 0;
}

uint32_t PcanLink::send(const LinkContext& context, CRM* crm) {
  if (context.tracer && !receive_signal.is_open()) context.tracer->note("waits=steps");
  return can_exchange(*this, context.clock, context.report, crm, context.tracer);
}

uint32_t PcanLink::write_frames(uint16_t slot, uint16_t& count) {
  for (uint16_t i = 0; i < count; ++i)
    if (loader->write(PCAN_CHANNEL, &transmit[slot + i]) != 0) return LINK_FAILED;
  return 0;
}

uint32_t PcanLink::write_flow_control(uint8_t block_size) {
  transmit[0].data[0] = CAN_FLOW_CONTROL;
  transmit[0].data[1] = block_size;
  return loader->write(PCAN_CHANNEL, &transmit[0]) != 0 ? LINK_FAILED : 0;
}

bool PcanLink::wait_for_frames(const Deadline& deadline, uint32_t looks) const {
  if (receive_signal.is_open())
    return receive_signal.wait(deadline.remaining_ms()) != platform::EventWait::failed;
  deadline.sleep(looks < PCAN_SHORT_STEPS ? PCAN_SHORT_STEP_MS : PCAN_LONG_STEP_MS);
  return true;
}

// Takes what the receive queue holds, up to `count` frames from the unit; with nothing there yet
// it waits for the library's receive signal (or, without one, looks again in short steps) until
// the wait runs out.
uint32_t PcanLink::read_frames(uint16_t& count, uint32_t wait_ms) {
  const Deadline deadline(clock, wait_ms);
  PcanTimestamp timestamp{};
  uint16_t placed = 0;
  for (uint32_t empty_looks = 0;; ++empty_looks) {
    uint32_t result = 0;
    while ((result = loader->read(PCAN_CHANNEL, &receive[placed], &timestamp)) == 0)
      if (from_unit(receive[placed]) && ++placed == count) break;
    if (result != 0 && result != PCAN_RECEIVE_QUEUE_EMPTY) return LINK_FAILED;
    if (placed > 0 || deadline.expired()) break;
    if (!wait_for_frames(deadline, empty_looks)) return LINK_FAILED;
  }
  count = placed;
  return 0;
}

}  // namespace efi
