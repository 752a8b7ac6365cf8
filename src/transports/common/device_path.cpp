#include "transports/common/device_path.h"

#include <string>

#include "platform/device_interface.h"
#include "platform/system_error.h"

namespace efi {

namespace {

using Step = DeviceSearchTelling::Step;

const Step* step_of(const DeviceSearchTelling& telling, platform::DeviceLookupStep failed) {
  switch (failed) {
    case platform::DeviceLookupStep::none:
      return nullptr;
    case platform::DeviceLookupStep::class_list:
      return &telling.class_list;
    case platform::DeviceLookupStep::enumerate:
      return &telling.enumerate;
    case platform::DeviceLookupStep::allocate:
      return &telling.allocate;
    case platform::DeviceLookupStep::detail:
      return &telling.detail;
    case platform::DeviceLookupStep::convert:
      return &telling.convert;
  }
  return &telling.convert;
}

}  // namespace

bool find_device_path(const Reporter& report, const DeviceSearchTelling& telling, const char* class_guid,
                      uint32_t index, char* path, size_t path_size) {
  const platform::DeviceLookup lookup = platform::find_device_interface(class_guid, index, path, path_size);
  const Step* step = step_of(telling, lookup.failed_step);
  if (!step) return true;
  if (lookup.error_has_text && (step->system_text_prefix || step->system_text_title)) {
    const std::string text = platform::system_error_text(lookup.error);
    if (step->system_text_prefix) print_line("%s%s", step->system_text_prefix, text.c_str());
    if (step->system_text_title) report.always(step->system_text_title, TextWidth::wide, "%s", text.c_str());
  }
  if (step->text && (lookup.error_has_text || !step->only_with_system_text)) {
    if (telling.output == DeviceSearchTelling::Output::message)
      report.error(TextWidth::wide, "%s", step->text);
    else
      print_line("%s", step->text);
  }
  return false;
}

uint32_t GetDevicePath(const Reporter& report, const char* class_guid, char* path, size_t path_size, uint32_t index) {
  return find_device_path(report, USB_DEVICE_SEARCH, class_guid, index, path, path_size) ? 1 : 0;
}

}  // namespace efi
