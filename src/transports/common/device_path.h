#pragma once

#include <cstddef>
#include <cstdint>

#include "report/report.h"

namespace efi {

// How a link tells of the step of a device search that failed. A step's own text goes out as a
// message (wide, unless the host suppressed messages) or as a line on the host's standard output,
// as the link chooses; the system's text for the step's error, where it has one, may go first.
struct DeviceSearchTelling {
  enum class Output : uint8_t { message, line };
  struct Step {
    const char* text = nullptr;                 // the step's own text; null: none
    bool only_with_system_text = false;         // the text only when the system has one for the error
    const char* system_text_prefix = nullptr;   // the system's text first, as a line after this prefix
    const char* system_text_title = nullptr;    // the system's text first, in a message of this title
                                                // shown whatever the suppression says
  };
  Output output;
  Step class_list, enumerate, allocate, detail, convert;
};

// The USB link's and the interface lock's telling.
inline constexpr DeviceSearchTelling USB_DEVICE_SEARCH{
    .output = DeviceSearchTelling::Output::message,
    .class_list = {.text = "GetDevicePath Error: SetupDiGetClassDevs failed"},
    .enumerate = {.text = "GetDevicePath Error: SetupDiEnumDeviceInterfaces failed", .only_with_system_text = true},
    .allocate = {.text = "GetDevicePath Error: LocalAlloc failed"},
    .detail = {.text = "GetDevicePath Error: SetupDiGetDeviceInterfaceDetail failed", .only_with_system_text = true},
    .convert = {},
};

// The Bluetooth link's telling: lines on the host's standard output, the detail's system text in a
// message of its own.
inline constexpr DeviceSearchTelling BLUETOOTH_DEVICE_SEARCH{
    .output = DeviceSearchTelling::Output::line,
    .class_list = {.text = "SetupDiGetClassDevs failed!\n"},
    .enumerate = {.text = "SetupDiEnumDeviceInterfaces failed.\n", .system_text_prefix = "Error: "},
    .allocate = {.text = "Failed to allocate memory.\n"},
    .detail = {.text = "Error in SetupDiGetDeviceInterfaceDetail\n", .system_text_title = "Error"},
    .convert = {.text = "Error in SetupDiGetDeviceInterfaceDetail\n"},
};

// Stores the narrow path of member `index` of the device-interface class `class_guid` into `path`;
// false, after telling of the failed step as `telling` says, when that fails.
bool find_device_path(const Reporter& report, const DeviceSearchTelling& telling, const char* class_guid,
                      uint32_t index, char* path, size_t path_size);

// The search as the USB link and the interface lock call it: 1 on success, 0 after its message.
uint32_t GetDevicePath(const Reporter& report, const char* class_guid, char* path, size_t path_size, uint32_t index);

}  // namespace efi
