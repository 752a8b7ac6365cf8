// Round trips through EfiSendCommand over the Ethernet link on loopback, against a plain
// blocking socket exchange of the same bytes with an echo server in the same run. The summary
// gives each library round trip as a multiple of the plain one.

#include <benchmark/benchmark.h>
#include <efilink/efilink.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "api/process_state.h"
#include "link_server.h"
#include "platform/socket.h"
#include "transports/net/ethernet_link.h"
#include "unit_responder.h"

namespace {

using softunit::Bytes;

// Reads a message of header + data and writes it back unchanged, for the plain baseline.
class EchoServer {
 public:
  EchoServer() : listener_(softunit::TcpListener::create()), thread_([this] { serve(); }) {}
  ~EchoServer() {
    stopping_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_->port(); }

 private:
  void serve() {
    std::unique_ptr<softunit::Stream> stream;
    while (!stopping_ && !(stream = listener_->accept(50))) {
    }
    Bytes message(8 + TS_MAX_TRANSFERSTRUCTS_SIZE);
    while (!stopping_ && stream) {
      unsigned char header[8];
      int64_t got;
      while ((got = stream->read_some(header, 8, 50)) == 0)
        if (stopping_) return;
      if (got < 0 || (got < 8 && !softunit::read_exact(*stream, header + got, 8 - got, 2000))) return;
      const size_t size = header[2] << 8 | header[3];
      std::copy(header, header + 8, message.begin());
      if (size && !softunit::read_exact(*stream, message.data() + 8, size, 2000)) return;
      if (!stream->write_all(message.data(), 8 + size)) return;
    }
  }
  std::unique_ptr<softunit::TcpListener> listener_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

void library_round_trip(benchmark::State& state) {
  const uint16_t size = static_cast<uint16_t>(state.range(0));
  softunit::TcpServer server(softunit::echo_responder());
  server.keep_commands(false);
  efi::on_library_load();
  efi::set_ethernet_address("127.0.0.1", std::to_string(server.port()).c_str());
  if (efi::initialize_interfaces(EFI_FLAG_ETHERNET, nullptr) != 0) {
    state.SkipWithError("cannot connect to the software unit");
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
  EchoServer server;
  namespace platform = efi::platform;
  platform::start_sockets();
  platform::AddressList* addresses = nullptr;
  platform::resolve_tcp("127.0.0.1", std::to_string(server.port()).c_str(), addresses);
  platform::Socket socket = platform::open_socket(addresses, 0);
  platform::set_no_delay(socket);
  if (!platform::connect_socket(socket, addresses, 0)) {
    state.SkipWithError("cannot connect to the echo server");
    return;
  }
  platform::free_addresses(addresses);
  Bytes message(8 + size, 0x5A), answer(8 + size);
  message[2] = static_cast<unsigned char>(size >> 8);
  message[3] = static_cast<unsigned char>(size);
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

// Prints each library round trip against the plain one of the same size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nround trip as a multiple of the plain socket exchange (target: within 1.3x)\n");
    for (const char* size : {"16", "4088"}) {
      const std::string suffix = std::string("/") + size + "/real_time";
      const auto plain = times_.find("plain_round_trip" + suffix);
      const auto library = times_.find("library_round_trip" + suffix);
      if (plain != times_.end() && library != times_.end() && plain->second > 0)
        std::printf("  %5s bytes: %.2fx\n", size, library->second / plain->second);
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
