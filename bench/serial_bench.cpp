// Round trips through EfiSendCommand over the links on a pseudo-terminal, each against a raw
// exchange of the same bytes with a lean echo unit in the same run: USB against the echo unit
// itself, the two serial links (whose line protocol the echo does not speak) against their
// software unit. The summary gives each link's round trip as a multiple of the raw one.

#include <benchmark/benchmark.h>
#include <efilink/efilink.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "api/process_state.h"
#include "link_bench.h"
#include "link_server.h"
#include "platform/device_interface.h"
#include "platform/serial_port.h"
#include "unit_responder.h"
#include "steady_runs.h"

namespace {

using bench::Bytes;
namespace platform = efi::platform;

void raw_round_trip(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  bench::EchoUnit echo(softunit::DeviceEndpoint::create_serial_line(), false);
  platform::SerialPort port = platform::open_serial_port(echo.device_path().c_str());
  if (!port || !platform::configure_serial_port(port, {})) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  const Bytes message = bench::command_message(0x60, size);
  Bytes answer(8 + size);
  for (auto _ : state) {
    platform::write_serial(port, message.data(), static_cast<uint32_t>(message.size()));
    uint32_t got = 0;
    while (got < answer.size()) {
      const platform::Transfer read =
          platform::read_serial(port, answer.data() + got, static_cast<uint32_t>(answer.size()) - got, {2000, 0});
      if (!read.ok) break;
      got += read.count;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
}

// One link's round trips with command 0x60 (never converted) against the unit's echo.
void link_round_trips(benchmark::State& state, uint32_t flags, const char* text = nullptr) {
  const uint16_t size = static_cast<uint16_t>(state.range(0));
  Bytes command(size, 0x5A), response(size);
  uint16_t received = 0;
  if (efi::initialize_interfaces(flags, text) != 0) {
    state.SkipWithError("the link did not open");
    return;
  }
  for (auto _ : state) {
    if (efi::send_command(0x60, command.data(), size, response.data(), size, &received) != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
  efi::close_interfaces(EFI_CLOSE_ALL_PORTS);
  efi::on_library_load();
}

void com_port_round_trip(benchmark::State& state) {
  namespace fs = std::filesystem;
  softunit::SerialServer server(softunit::echo_responder());
  server.keep_commands(false);
  const fs::path directory = fs::temp_directory_path() / ("efilink-bench-com-" + std::to_string(::getpid()));
  fs::create_directories(directory);
  std::error_code error;
  fs::create_symlink(server.device_path(), directory / "COM3", error);
  efi::on_library_load();
  platform::set_device_directory(directory.string().c_str());
  link_round_trips(state, EFI_FLAG_COM_SERIAL | (3u << EFI_FLAG_SERIAL_PORT_SHIFT) | EFI_FLAG_COMMAND_RESPONSE_INTERFACE);
  platform::set_device_directory(nullptr);
  fs::remove_all(directory, error);
}

void uart_driver_round_trip(benchmark::State& state) {
  softunit::SerialServer server(softunit::echo_responder());
  server.keep_commands(false);
  setenv("CDRVXD32_PORT_3F8", server.device_path().c_str(), 1);
  efi::on_library_load();
  efi::set_adapter_library(EFI_FLAG_UART_SERIAL, EFI_BENCH_MODULE_DIR "libcdrvxd32.so");
  efi::enable_error_messages(0);
  efi::set_message_handler([](const char*, const char*, void*) {}, nullptr);  // no statistics dumps
  link_round_trips(state, EFI_FLAG_UART_SERIAL | (1u << EFI_FLAG_SERIAL_PORT_SHIFT) | EFI_FLAG_SERIAL_FIRST_PORT |
                              EFI_FLAG_COMMAND_RESPONSE_INTERFACE);
}

// The USB link's bytes with plain calls on the device: the announcement of a long command, the
// command, then blocking reads until the whole answer is in.
void usb_raw_round_trip(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  bench::EchoUnit echo(softunit::DeviceEndpoint::create(), true);
  const int fd = open(echo.device_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  if (fd < 0 || tcgetattr(fd, &settings) != 0) {
    state.SkipWithError("no pseudo-terminal");
    if (fd >= 0) close(fd);
    return;
  }
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
  const Bytes message = bench::command_message(0x60, size);
  Bytes announcement(32), answer(8 + size);
  announcement[0] = 0xCD;
  announcement[1] = 0x07;
  announcement[2] = message[2];
  announcement[3] = message[3];
  for (auto _ : state) {
    if (message.size() > announcement.size() && write(fd, announcement.data(), announcement.size()) < 0) break;
    if (write(fd, message.data(), message.size()) < 0) break;
    size_t got = 0;
    while (got < answer.size()) {
      pollfd entry{fd, POLLIN, 0};
      if (poll(&entry, 1, 2000) != 1) break;
      const ssize_t n = read(fd, answer.data() + got, answer.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
  close(fd);
}

void usb_round_trip(benchmark::State& state) {
  bench::EchoUnit echo(softunit::DeviceEndpoint::create(), true);
  efi::on_library_load();
  link_round_trips(state, EFI_FLAG_USB, echo.device_path().c_str());
}

BENCHMARK(raw_round_trip)->Arg(16)->Arg(4088)->UseRealTime();
BENCHMARK(usb_raw_round_trip)->Arg(16)->Arg(4088)->UseRealTime();
BENCHMARK(usb_round_trip)->Arg(16)->Arg(4088)->UseRealTime();
BENCHMARK(com_port_round_trip)->Arg(16)->Arg(4088)->UseRealTime();
BENCHMARK(uart_driver_round_trip)->Arg(16)->Arg(4088)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bench::keep_to_one_processor();
  bench::RatioReporter reporter("round trip as a multiple of the raw exchange on a pseudo-terminal, both against a lean "
                                "echo unit (serial links: their own software unit)",
                                {{"USB", "usb_round_trip", "usb_raw_round_trip", 1.1},
                                 {"COM port", "com_port_round_trip", "raw_round_trip", 1.5},
                                 {"UART driver", "uart_driver_round_trip", "raw_round_trip", 1.5},
                                 {"UART driver / COM port", "uart_driver_round_trip", "com_port_round_trip", 3.0}});
  bench::run_steady(argc, argv, reporter);
  return 0;
}
