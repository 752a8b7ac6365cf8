// Swap and placement of full-size (4088-byte) transfer structures, measured against memcpy of
// the same 4088 bytes in the same run: every element size that is swapped, a two-array response
// and a fifteen-array kinded record. `convert` is what a response gets when conversion is on:
// placement and swap in one walk. The summary at the end gives each case's time as a multiple of
// the memcpy time, next to the ratio the case is meant to stay within.

#include <benchmark/benchmark.h>
#include <efilink/efilink.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "convert/byte_order.h"
#include "convert/element_swap.h"
#include "convert/layouts.h"
#include "steady_runs.h"

namespace {

constexpr size_t SIZE = TS_MAX_TRANSFERSTRUCTS_SIZE;
const std::string MEMCPY_NAME = "memcpy_4088";

// 4088 bytes starting on a 64-byte boundary: every run places the structures and the copy alike
// (a copy's speed depends on where its target starts within a cache line).
class Bytes {
 public:
  Bytes() : storage_(new unsigned char[SIZE + 64]()) {}
  unsigned char* data() { return storage_.get() + (-reinterpret_cast<uintptr_t>(storage_.get()) & 63); }
  size_t size() const { return SIZE; }
  unsigned char& operator[](size_t i) { return data()[i]; }

 private:
  std::unique_ptr<unsigned char[]> storage_;
};

void set_descriptor(Bytes& b, uint32_t k, uint8_t element_size,
                    uint32_t count) {
  b[k] = element_size;
  b[k + 1] = static_cast<unsigned char>(count >> 8);
  b[k + 2] = static_cast<unsigned char>(count & 0xFF);
}

struct Case {
  const efi::Layout* layout;
  Bytes bytes;
};

// A TS_A0 structure whose one array fills the data area with elements of `element_size` bytes.
Case single_array(uint8_t element_size) {
  Case c{&efi::TS_A0, Bytes()};
  set_descriptor(c.bytes, 0, element_size, (SIZE - efi::TS_A0.data_start) / element_size);
  return c;
}

// TS_L0_A4_A12: 4-byte elements, then 2-byte elements, sharing the data area.
Case two_arrays() {
  Case c{&efi::TS_L0_A4_A12, Bytes()};
  set_descriptor(c.bytes, 4, 4, 500);
  set_descriptor(c.bytes, 12, 2, (SIZE - 20 - 2000) / 2);
  return c;
}

// A kind-37 KindedRecord_TS: fifteen arrays of mixed element sizes.
Case kind_37() {
  Case c{&efi::KindedRecord_TS, Bytes()};
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
  Bytes source, target;
  std::memset(source.data(), 0x5A, SIZE);
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

void convert(benchmark::State& state, const std::string& which) {
  Case c = make_case(which);
  for (auto _ : state) {
    benchmark::DoNotOptimize(efi::place_and_swap(*c.layout, c.bytes.data(), c.bytes.size()));
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

// The cases in the order the summary lists them, with the ratio to memcpy each should stay
// within (0 where none is set).
struct Listed {
  std::string name;
  double target;
};
std::vector<Listed>& listed() {
  static std::vector<Listed> cases;
  return cases;
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
    std::printf("\nTime relative to memcpy of %zu bytes (%.1f ns), swap at %s level:\n", SIZE,
                base->second, level_name(efi::element_swaps().level));
    std::printf("  %-28s %7s %8s\n", "case", "ratio", "target");
    for (const Listed& c : listed()) {
      auto found = times_.find(c.name);
      if (found == times_.end()) continue;
      double ratio = found->second / base->second;
      if (c.target > 0)
        std::printf("  %-28s %6.2fx %7.2fx  %s\n", c.name.c_str(), ratio, c.target,
                    ratio <= c.target ? "met" : "MISSED");
      else
        std::printf("  %-28s %6.2fx\n", c.name.c_str(), ratio);
    }
  }

 private:
  static const char* level_name(efi::SwapLevel level) {
    switch (level) {
      case efi::SwapLevel::avx512:
        return "AVX-512";
      case efi::SwapLevel::avx2:
        return "AVX2";
      default:
        return "portable";
    }
  }
  std::map<std::string, double> times_;
};

void add(const std::string& name, void (*run)(benchmark::State&, const std::string&),
         const std::string& which, double target) {
  benchmark::RegisterBenchmark(name.c_str(), run, which);
  listed().push_back({name, target});
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark(MEMCPY_NAME.c_str(), memcpy_4088);
  for (int size = 2; size <= 16; ++size)
    add("swap_" + std::to_string(size) + "_byte", swap, std::to_string(size), 1.3);
  add("swap_TS_L0_A4_A12", swap, "TS_L0_A4_A12", 1.3);
  add("swap_kind_37", swap, "kind_37", 1.5);
  add("convert_TS_L0_A4_A12", convert, "TS_L0_A4_A12", 0);
  add("convert_kind_37", convert, "kind_37", 0);
  for (const char* which : {"2", "12", "TS_L0_A4_A12", "kind_37"})
    add(std::string("place_") + (which[0] <= '9' ? std::string(which) + "_byte" : which), place, which, 0);
  RatioReporter reporter;
  bench::run_steady(argc, argv, reporter);
  return 0;
}
