// Any byte stream as a unit's answers, through the USB, Ethernet and Bluetooth framing. The device
// file and the socket are stand-ins that serve the fuzzer's bytes and then fall silent at once, and
// the clock is a stand-in whose waits take no real time, so each input runs in microseconds. The
// host's buffers carry guard bytes that must never change, and a successful exchange never reports
// more data than the host can take.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "platform/device_file.h"
#include "platform/device_interface.h"
#include "platform/socket.h"
#include "stand_in_clock.h"

namespace {

// What the unit "sends": the rest of the current input.
const uint8_t* stream = nullptr;
size_t stream_left = 0;

uint32_t serve(void* data, size_t size) {
  const size_t count = size < stream_left ? size : stream_left;
  if (count) std::memcpy(data, stream, count);
  stream += count;
  stream_left -= count;
  return static_cast<uint32_t>(count);
}

}  // namespace

namespace efi::platform {

void DeviceFileTraits::close(Raw) noexcept {}
DeviceFile open_device(const char*, DeviceSharing) { return DeviceFile(3); }
Transfer write_device(const DeviceFile&, const void*, uint32_t size, TransferBounds) { return {true, size}; }
Transfer read_device(const DeviceFile&, void* data, uint32_t size, TransferBounds) {
  const uint32_t count = serve(data, size);
  return {count > 0, count};
}
Transfer read_device_answer(const DeviceFile& device, void* data, uint32_t, uint32_t size, TransferBounds bounds) {
  return read_device(device, data, size, bounds);
}
uint32_t discard_input(const DeviceFile&) { return 0; }
DeviceLookup find_device_interface(const char*, uint32_t index, char* path, size_t path_size) {
  if (index > 0 || path_size < 5) return {DeviceLookupStep::enumerate, 2, true};
  std::memcpy(path, "fuzz", 5);
  return {DeviceLookupStep::none, 0, false};
}
void set_device_directory(const char*) {}
std::string device_directory() { return "fuzz"; }

struct AddressList {};
void SocketTraits::close(Raw) noexcept {}
uint32_t start_sockets() { return 0; }
void stop_sockets() {}
uint32_t last_socket_error() { return 0; }
int resolve_tcp(const char*, const char*, AddressList*& addresses) {
  static AddressList one;
  addresses = &one;
  return 0;
}
size_t address_count(const AddressList*) { return 1; }
void free_addresses(AddressList*) {}
Socket open_socket(const AddressList*, size_t) { return Socket(3); }
void set_no_delay(const Socket&) {}
bool connect_socket(const Socket&, const AddressList*, size_t, uint32_t) { return true; }
int64_t send_socket(const Socket&, const void*, size_t size) { return static_cast<int64_t>(size); }
int64_t receive_socket(const Socket&, void* data, size_t size) { return serve(data, size); }
int64_t receive_socket_within(const Socket& socket, void* data, size_t size, uint32_t) {
  return stream_left ? receive_socket(socket, data, size) : SOCKET_ERROR_RESULT;
}
bool set_receive_wait(const Socket&, uint32_t) { return true; }
int64_t receive_socket_split(const Socket&, void* first, size_t first_size, void* second, size_t second_size) {
  if (!stream_left) return SOCKET_ERROR_RESULT;
  const uint32_t head = serve(first, first_size);
  return head < first_size ? head : head + serve(second, second_size);
}
size_t discard_socket_input(const Socket&) { return 0; }

}  // namespace efi::platform

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // First byte: link, conversion and command; second: the host's capacity; the rest: the unit's bytes.
  constexpr uint32_t LINKS[] = {EFI_FLAG_USB, EFI_FLAG_ETHERNET, EFI_FLAG_BLUETOOTH, EFI_FLAG_USB};
  const uint32_t link = LINKS[(data[0] & 1) | (data[0] >> 6 & 2)];
  const uint16_t capacity = static_cast<uint16_t>(data[1] * 17);
  stream = data + 2;
  stream_left = size - 2;

  efi::on_library_load();
  efi::enable_error_messages(0);
  efi::set_message_handler([](const char*, const char*, void*) {}, nullptr);
  const uint32_t conversion = data[0] & 2 ? EFI_FLAG_NO_CONVERSION : 0;
  if (efi::initialize_interfaces(link | conversion, link == EFI_FLAG_USB ? "fuzz" : nullptr) != 0) abort();

  constexpr size_t GUARD = 64;
  std::vector<unsigned char> command(40, 0x11), response(capacity + GUARD, 0xCC);
  uint16_t received = 0xBEEF;
  // Command 0x07 travels unconverted; command 0x05 lets a response reach its converter.
  const uint8_t number = data[0] & 4 ? 0x05 : 0x07;
  const uint32_t status = efi::send_command(number, command.data(), 4, response.data(), capacity, &received);
  for (size_t i = capacity; i < response.size(); ++i)
    if (response[i] != 0xCC) abort();
  if (status == 0 && received != 0xBEEF && received > capacity) abort();
  efi::on_library_load();
  return 0;
}
