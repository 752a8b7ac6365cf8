#pragma once

// Pieces the link benchmarks share: a lean echo unit on a real channel, and a console reporter
// that ends with each link's round trip as a multiple of its raw baseline from the same run.

#include <benchmark/benchmark.h>
#include <efilink/efilink.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>

#include "channel.h"

namespace bench {

using Bytes = std::vector<unsigned char>;

// Answers every command with a response header (status 0, marker 0x55AA, the unit's byte order)
// and the command's own data, with no model behind it, so that a round trip costs the channel and
// the host's side only. On USB framing a long command's 32-byte announcement is read first.
class EchoUnit {
 public:
  explicit EchoUnit(std::unique_ptr<softunit::TcpListener> listener)
      : listener_(std::move(listener)), thread_([this] { serve(); }) {}
  EchoUnit(std::unique_ptr<softunit::DeviceEndpoint> endpoint, bool usb_framing)
      : endpoint_(std::move(endpoint)), usb_framing_(usb_framing), thread_([this] { serve(); }) {}
  ~EchoUnit() {
    stopping_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_ ? listener_->port() : 0; }
  std::string device_path() const { return endpoint_ ? endpoint_->device_path() : ""; }

 private:
  // Reads 8 header bytes, waiting as long as it takes unless the unit is stopping.
  bool read_header(softunit::Stream& stream, unsigned char* header) {
    int64_t got;
    while ((got = stream.read_some(header, 8, 50)) == 0)
      if (stopping_) return false;
    return got > 0 && (got == 8 || softunit::read_exact(stream, header + got, 8 - got, 2000));
  }

  void serve() {
    std::unique_ptr<softunit::Stream> accepted;
    softunit::Stream* stream = nullptr;
    while (!stopping_ && !stream) {
      if (listener_) stream = (accepted = listener_->accept(50)).get();
      if (endpoint_) stream = endpoint_->wait_for_host(50);
    }
    Bytes message(8 + 0x1000);
    unsigned char* header = message.data();
    while (!stopping_ && stream) {
      if (!read_header(*stream, header)) return;
      size_t size = header[2] << 8 | header[3];
      const bool announcement = usb_framing_ && header[0] == 0xCD && header[1] == 0x07 && size + 8 > 32 &&
                                header[4] == 0 && header[5] == 0;
      if (announcement &&
          !(softunit::read_exact(*stream, message.data() + 8, 24, 2000) && read_header(*stream, header)))
        return;
      size = header[2] << 8 | header[3];
      if (size > message.size() - 8 || (size && !softunit::read_exact(*stream, message.data() + 8, size, 2000)))
        return;
      header[4] = header[5] = 0;
      header[6] = 0x55;
      header[7] = 0xAA;
      if (!stream->write_all(message.data(), 8 + size)) return;
    }
  }

  std::unique_ptr<softunit::TcpListener> listener_;
  std::unique_ptr<softunit::DeviceEndpoint> endpoint_;
  bool usb_framing_ = false;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A command message for the raw baselines: header (unit order) with `size` data bytes behind it.
inline Bytes command_message(uint8_t command, size_t size) {
  Bytes message(8 + size, 0x5A);
  message[0] = 0xCD;
  message[1] = command;
  message[2] = static_cast<unsigned char>(size >> 8);
  message[3] = static_cast<unsigned char>(size);
  message[4] = message[2];
  message[5] = message[3];
  message[6] = message[7] = 0;
  return message;
}

// Keeps the benchmark and its echo unit on the processor it starts on. A round trip costs more
// when the two threads wake each other across processors, and the scheduler places each case's
// echo thread afresh, so without this the ratio of two cases swings with where their threads
// landed rather than with what each side does.
inline void keep_to_one_processor() {
  const int processor = sched_getcpu();
  if (processor < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(processor, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// One line of the summary: a benchmark, the baseline it is measured against, and its target.
struct Ratio {
  const char* label;
  const char* measured;
  const char* baseline;
  double target;
};

// Prints the console report, then every ratio at 16 and 4088 bytes.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter(const char* title, std::vector<Ratio> ratios) : title_(title), ratios_(std::move(ratios)) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // With repetitions the median stands for the case; otherwise its one run.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians_[name] = run.GetAdjustedRealTime();
      else if (run.run_type == Run::RT_Iteration)
        times_[name] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, time] : medians_) times_[name] = time;
    std::printf("\n%s\n  %-34s %7s %7s\n", title_, "case", "ratio", "target");
    for (const Ratio& ratio : ratios_)
      for (const char* size : {"16", "4088"}) {
        const std::string suffix = std::string("/") + size + "/real_time";
        const auto baseline = times_.find(ratio.baseline + suffix);
        const auto measured = times_.find(ratio.measured + suffix);
        if (baseline == times_.end() || measured == times_.end() || baseline->second <= 0) continue;
        const double value = measured->second / baseline->second;
        std::printf("  %-34s %6.2fx %6.2fx  %s\n", (std::string(ratio.label) + " " + size + " bytes").c_str(), value,
                    ratio.target, value <= ratio.target ? "met" : "MISSED");
      }
  }

 private:
  const char* title_;
  std::vector<Ratio> ratios_;
  std::map<std::string, double> times_;
  std::map<std::string, double> medians_;
};

}  // namespace bench
