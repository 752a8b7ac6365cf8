#include "transports/common/device_path.h"

#include "platform/device_interface.h"

namespace efi {

uint32_t GetDevicePath(const Reporter& report, const char* class_guid, char* path, size_t path_size, uint32_t index) {
  const platform::DeviceLookup lookup = platform::find_device_interface(class_guid, index, path, path_size);
  switch (lookup.failed_step) {
    case platform::DeviceLookupStep::none:
      return 1;
    case platform::DeviceLookupStep::class_list:
      report.error(TextWidth::wide, "GetDevicePath Error: SetupDiGetClassDevs failed");
      return 0;
    case platform::DeviceLookupStep::enumerate:
      if (lookup.error_has_text) report.error(TextWidth::wide, "GetDevicePath Error: SetupDiEnumDeviceInterfaces failed");
      return 0;
    case platform::DeviceLookupStep::allocate:
      report.error(TextWidth::wide, "GetDevicePath Error: LocalAlloc failed");
      return 0;
    case platform::DeviceLookupStep::detail:
      if (lookup.error_has_text)
        report.error(TextWidth::wide, "GetDevicePath Error: SetupDiGetDeviceInterfaceDetail failed");
      return 0;
    case platform::DeviceLookupStep::convert:
      return 0;
  }
  return 0;
}

}  // namespace efi
