// Round trips through EfiSendCommand over the Ethernet link on loopback, against a plain
// blocking socket exchange of the same bytes, both with a lean echo unit, in the same run. The
// summary gives each library round trip as a multiple of the plain one.

#include <benchmark/benchmark.h>
#include <efilink/efilink.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "api/process_state.h"
#include "link_bench.h"
#include "platform/socket.h"
#include "steady_runs.h"

namespace {

using bench::Bytes;

void library_round_trip(benchmark::State& state) {
  const uint16_t size = static_cast<uint16_t>(state.range(0));
  bench::EchoUnit server(softunit::TcpListener::create());
  efi::on_library_load();
  efi::set_ethernet_address("127.0.0.1", std::to_string(server.port()).c_str());
  if (efi::initialize_interfaces(EFI_FLAG_ETHERNET, nullptr) != 0) {
    state.SkipWithError("cannot connect to the echo unit");
    return;
  }
  Bytes command(size, 0x5A), response(size);
  uint16_t received = 0;
  for (auto _ : state) {
    // Command 7 has no conversion: the library's own work is framing and copying.
    if (efi::send_command(0x07, command.data(), size, response.data(), size, &received) != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
  efi::on_library_load();
}

void plain_round_trip(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  bench::EchoUnit server(softunit::TcpListener::create());
  namespace platform = efi::platform;
  platform::start_sockets();
  platform::AddressList* addresses = nullptr;
  platform::resolve_tcp("127.0.0.1", std::to_string(server.port()).c_str(), addresses);
  platform::Socket socket = platform::open_socket(addresses, 0);
  platform::set_no_delay(socket);
  if (!platform::connect_socket(socket, addresses, 0, 3000)) {
    state.SkipWithError("cannot connect to the echo server");
    return;
  }
  platform::free_addresses(addresses);
  const Bytes message = bench::command_message(0x07, size);
  Bytes answer(8 + size);
  for (auto _ : state) {
    platform::send_socket(socket, message.data(), message.size());
    size_t got = 0;
    while (got < answer.size()) {
      const int64_t n = platform::receive_socket(socket, answer.data() + got, answer.size() - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * 2);
  socket.reset();
  platform::stop_sockets();
}

BENCHMARK(plain_round_trip)->Arg(16)->Arg(4088)->UseRealTime();
BENCHMARK(library_round_trip)->Arg(16)->Arg(4088)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bench::keep_to_one_processor();
  bench::RatioReporter reporter("round trip as a multiple of the plain socket exchange, both against a lean echo unit",
                                {{"Ethernet", "library_round_trip", "plain_round_trip", 1.1}});
  bench::run_steady(argc, argv, reporter);
  return 0;
}
