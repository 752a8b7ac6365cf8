// Swap and placement of full-size (4088-byte) transfer structures, measured against memcpy of
// the same 4088 bytes in the same run. The summary at the end gives each case's time as a
// multiple of the memcpy time.

#include <benchmark/benchmark.h>
#include <efilink/efilink.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "convert/byte_order.h"
#include "convert/layouts.h"

namespace {

constexpr size_t SIZE = TS_MAX_TRANSFERSTRUCTS_SIZE;
const std::string MEMCPY_NAME = "memcpy_4088";

void set_descriptor(std::vector<unsigned char>& b, uint32_t k, uint8_t element_size,
                    uint32_t count) {
  b[k] = element_size;
  b[k + 1] = static_cast<unsigned char>(count >> 8);
  b[k + 2] = static_cast<unsigned char>(count & 0xFF);
}

struct Case {
  const efi::Layout* layout;
  std::vector<unsigned char> bytes;
};

// A TS_A0 structure whose one array fills the data area with elements of `element_size` bytes.
Case single_array(uint8_t element_size) {
  Case c{&efi::TS_A0, std::vector<unsigned char>(SIZE)};
  set_descriptor(c.bytes, 0, element_size, (SIZE - efi::TS_A0.data_start) / element_size);
  return c;
}

// TS_L0_A4_A12: 4-byte elements, then 2-byte elements, sharing the data area.
Case two_arrays() {
  Case c{&efi::TS_L0_A4_A12, std::vector<unsigned char>(SIZE)};
  set_descriptor(c.bytes, 4, 4, 500);
  set_descriptor(c.bytes, 12, 2, (SIZE - 20 - 2000) / 2);
  return c;
}

// A kind-37 KindedRecord_TS: fifteen arrays of mixed element sizes.
Case kind_37() {
  Case c{&efi::KindedRecord_TS, std::vector<unsigned char>(SIZE)};
  c.bytes[efi::KINDED_RECORD_KIND_OFFSET] = 37;
  const efi::Layout& layout = efi::kinded_layout(37);
  static constexpr uint8_t SIZES[] = {2, 4, 8, 12, 2, 4, 8, 1, 2, 4, 8, 16, 2, 4, 8};
  uint32_t room = SIZE - layout.data_start;
  for (size_t i = 0; i < layout.arrays.size(); ++i)
    set_descriptor(c.bytes, layout.arrays[i], SIZES[i], room / 16 / SIZES[i]);
  return c;
}

Case make_case(const std::string& which) {
  if (which == "TS_L0_A4_A12") return two_arrays();
  if (which == "kind_37") return kind_37();
  return single_array(static_cast<uint8_t>(std::stoi(which)));
}

void memcpy_4088(benchmark::State& state) {
  std::vector<unsigned char> source(SIZE, 0x5A), target(SIZE);
  for (auto _ : state) {
    benchmark::DoNotOptimize(source.data());
    std::memcpy(target.data(), source.data(), SIZE);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SIZE));
}

void swap(benchmark::State& state, const std::string& which) {
  Case c = make_case(which);
  if (efi::PlaceArrayData(*c.layout, c.bytes.data(), c.bytes.size()) != 0)
    state.SkipWithError("structure does not place cleanly");
  for (auto _ : state) {
    efi::SwapStructureByteOrder(*c.layout, c.bytes.data(), c.bytes.size(),
                                efi::ArrayWalk::placed_only);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SIZE));
}

void place(benchmark::State& state, const std::string& which) {
  Case c = make_case(which);
  for (auto _ : state) {
    benchmark::DoNotOptimize(efi::PlaceArrayData(*c.layout, c.bytes.data(), c.bytes.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SIZE));
}

// Prints the usual table, then each case's time relative to memcpy.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions, the median stands for the case.
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      times_[run.run_name.str()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto base = times_.find(MEMCPY_NAME);
    if (base == times_.end() || base->second <= 0) return;
    std::printf("\nTime relative to memcpy of %zu bytes (%.1f ns):\n", SIZE, base->second);
    for (const auto& [name, time] : times_)
      if (name != MEMCPY_NAME) std::printf("  %-24s %6.2fx\n", name.c_str(), time / base->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark(MEMCPY_NAME.c_str(), memcpy_4088);
  for (const char* which : {"2", "4", "8", "12", "TS_L0_A4_A12", "kind_37"}) {
    std::string suffix = std::isdigit(static_cast<unsigned char>(which[0]))
                             ? std::string(which) + "_byte"
                             : std::string(which);
    benchmark::RegisterBenchmark(("swap_" + suffix).c_str(), swap, std::string(which));
    benchmark::RegisterBenchmark(("place_" + suffix).c_str(), place, std::string(which));
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
