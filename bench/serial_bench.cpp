// Round trips through EfiSendCommand over the two serial links on a pseudo-terminal, against a
// raw exchange of the same bytes with an echo on a pseudo-terminal in the same run. The summary
// gives each link's round trip as a multiple of the raw one.

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

#include <unistd.h>

#include "api/process_state.h"
#include "channel.h"
#include "link_server.h"
#include "platform/device_interface.h"
#include "platform/serial_port.h"
#include "unit_responder.h"

namespace {

using softunit::Bytes;
namespace platform = efi::platform;

// Reads header + data from the line and writes them back unchanged, for the raw baseline.
class LineEcho {
 public:
  LineEcho() : line_(softunit::DeviceEndpoint::create_serial_line()), thread_([this] { serve(); }) {}
  ~LineEcho() {
    stopping_ = true;
    thread_.join();
  }
  std::string device_path() const { return line_ ? line_->device_path() : ""; }

 private:
  void serve() {
    if (!line_) return;
    softunit::Stream* stream = line_->wait_for_host(0);
    Bytes message(8 + TS_MAX_TRANSFERSTRUCTS_SIZE);
    while (!stopping_) {
      int64_t got;
      while ((got = stream->read_some(message.data(), 8, 50)) == 0)
        if (stopping_) return;
      if (got < 0 || (got < 8 && !softunit::read_exact(*stream, message.data() + got, 8 - got, 2000))) return;
      const size_t size = message[2] << 8 | message[3];
      if (size && !softunit::read_exact(*stream, message.data() + 8, size, 2000)) return;
      if (!stream->write_all(message.data(), 8 + size)) return;
    }
  }
  std::unique_ptr<softunit::DeviceEndpoint> line_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

void raw_round_trip(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  LineEcho echo;
  platform::SerialPort port = platform::open_serial_port(echo.device_path().c_str());
  if (!port || !platform::configure_serial_port(port, {})) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  Bytes message(8 + size, 0x5A), answer(8 + size);
  message[2] = static_cast<unsigned char>(size >> 8);
  message[3] = static_cast<unsigned char>(size);
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
void link_round_trips(benchmark::State& state, uint32_t flags) {
  const uint16_t size = static_cast<uint16_t>(state.range(0));
  Bytes command(size, 0x5A), response(size);
  uint16_t received = 0;
  if (efi::initialize_interfaces(flags | EFI_FLAG_COMMAND_RESPONSE_INTERFACE, nullptr) != 0) {
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
  link_round_trips(state, EFI_FLAG_COM_SERIAL | (3u << EFI_FLAG_SERIAL_PORT_SHIFT));
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
  link_round_trips(state, EFI_FLAG_UART_SERIAL | (1u << EFI_FLAG_SERIAL_PORT_SHIFT) | EFI_FLAG_SERIAL_FIRST_PORT);
}

BENCHMARK(raw_round_trip)->Arg(16)->Arg(4088)->UseRealTime();
BENCHMARK(com_port_round_trip)->Arg(16)->Arg(4088)->UseRealTime();
BENCHMARK(uart_driver_round_trip)->Arg(16)->Arg(4088)->UseRealTime();

// Prints each link's round trip against the raw one of the same size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nround trip as a multiple of the raw pseudo-terminal echo (target: within 1.5x)\n");
    for (const char* link : {"com_port_round_trip", "uart_driver_round_trip"})
      for (const char* size : {"16", "4088"}) {
        const std::string suffix = std::string("/") + size + "/real_time";
        const auto raw = times_.find("raw_round_trip" + suffix);
        const auto measured = times_.find(link + suffix);
        if (raw != times_.end() && measured != times_.end() && raw->second > 0)
          std::printf("  %-22s %5s bytes: %.2fx\n", link, size, measured->second / raw->second);
      }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
