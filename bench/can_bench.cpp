// The CAN links' own cost: CPU time of the calling thread for one exchange of a 4088-byte command
// and a 4088-byte answer (585 frames each way) on a bus paced at 500 kbit/s, against the wire time
// of the same frames; and the CPU used while a silent unit is awaited until the wait runs out.
// Then the round trip of the serial-line adapter link next to the USB-CAN link's, each against the
// same software unit on an unpaced bus: the serial-line adapter on a pseudo-terminal, the USB-CAN
// module's stand-in library on the bus directly.

#include <benchmark/benchmark.h>
#include <efilink/efilink.h>

#include <ctime>
#include <string>
#include <vector>

#include "api/process_state.h"
#include "bus.h"
#include "link_server.h"
#include "slcan_adapter.h"
#include "transports/can/segmentation.h"
#include "unit_responder.h"

namespace {

using softunit::Bytes;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wire time of one whole exchange: the command's and the answer's frames and both flow controls.
double wire_seconds(uint16_t command_length, uint16_t answer_length) {
  softunit::BusFrame frame;
  const double one = frame_time_us(frame) * 1e-6;
  return one * (efi::CanFrameCount(command_length) + efi::CanFrameCount(answer_length) + 2);
}

struct LinkUnderTest {
  uint32_t flag;
  const char* library;
};
const LinkUnderTest LINKS[] = {{EFI_FLAG_PCAN, EFI_PCAN_STANDIN}, {EFI_FLAG_USB_CAN, EFI_USBCAN_STANDIN}};

void open_link(const LinkUnderTest& link, softunit::CanServer& server) {
  efi::on_library_load();
  server.keep_commands(false);
  server.publish_port();
  efi::set_adapter_library(link.flag, (std::string(EFI_BIN_DIR) + link.library).c_str());
  efi::initialize_interfaces(link.flag, nullptr);
}

void longest_exchange(benchmark::State& state) {
  const LinkUnderTest& link = LINKS[state.range(0)];
  softunit::CanServer server(softunit::echo_responder(), true);
  open_link(link, server);
  Bytes command(4080, 0x5A), response(4080);
  uint16_t received = 0;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpu_start = thread_cpu_seconds();
    const auto wall_start = std::chrono::steady_clock::now();
    const uint32_t status = efi::send_command(0x07, command.data(), 4080, response.data(), 4080, &received);
    cpu += thread_cpu_seconds() - cpu_start;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    if (status != 0 || received != 4080) state.SkipWithError("exchange failed");
  }
  const double n = static_cast<double>(state.iterations());
  const double wire = wire_seconds(4088, 4088);
  state.counters["cpu_ms"] = cpu / n * 1e3;
  state.counters["wire_ms"] = wire * 1e3;
  state.counters["elapsed_ms"] = wall / n * 1e3;
  state.counters["cpu_of_wire_%"] = cpu / n / wire * 100.0;
  efi::close_interfaces(0);
}

void silent_unit(benchmark::State& state) {
  const LinkUnderTest& link = LINKS[state.range(0)];
  softunit::CanServer server(softunit::echo_responder());
  open_link(link, server);
  efi::enable_error_messages(0);
  Bytes command(16), response(64);
  uint16_t received = 0;
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    server.queue_fault({softunit::LinkFault::Kind::silence});
    const double cpu_start = thread_cpu_seconds();
    const auto wall_start = std::chrono::steady_clock::now();
    if (efi::send_command(0x07, command.data(), 16, response.data(), 64, &received) != STATUS_CR_READ_FAILED)
      state.SkipWithError("the wait did not run out");
    cpu += thread_cpu_seconds() - cpu_start;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  }
  state.counters["waited_s"] = wall / static_cast<double>(state.iterations());
  state.counters["cpu_of_wait_%"] = cpu / wall * 100.0;
  efi::close_interfaces(0);
}

// Round trips of `state.range(0)` bytes each way, through the serial-line adapter or the USB-CAN
// module.
void round_trip(benchmark::State& state, bool serial_line) {
  const auto size = static_cast<uint16_t>(state.range(0));
  softunit::CanServer server(softunit::echo_responder());
  softunit::SlcanAdapter adapter(server.port());
  if (serial_line) {
    efi::on_library_load();
    server.keep_commands(false);
    if (!adapter.skip_reason().empty() ||
        efi::initialize_interfaces(EFI_FLAG_SLCAN, adapter.device_path().c_str()) != 0) {
      state.SkipWithError("the serial-line adapter did not open");
      return;
    }
  } else {
    open_link(LINKS[1], server);
  }
  Bytes command(size, 0x5A), response(size);
  uint16_t received = 0;
  for (auto _ : state) {
    if (efi::send_command(0x07, command.data(), size, response.data(), size, &received) != 0 || received != size)
      state.SkipWithError("exchange failed");
  }
  efi::close_interfaces(0);
}

}  // namespace

BENCHMARK_CAPTURE(round_trip, usbcan, false)->Arg(16)->Arg(4080)->Repetitions(5)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.5);
BENCHMARK_CAPTURE(round_trip, slcan, true)->Arg(16)->Arg(4080)->Repetitions(5)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.5);
// Argument 0: PCAN, 1: USB-CAN module.
BENCHMARK(longest_exchange)->Arg(0)->Arg(1)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(silent_unit)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
