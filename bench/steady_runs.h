#pragma once

// Runs the registered benchmarks as repetitions in random interleaving, unless the command line
// asks otherwise: on a machine shared with other work the load drifts between cases, and a
// ratio of medians of interleaved runs holds still where one long run per case does not.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace bench {

inline void run_steady(int argc, char** argv, benchmark::BenchmarkReporter& reporter) {
  std::vector<std::string> defaults = {"--benchmark_repetitions=9", "--benchmark_min_time=0.1",
                                       "--benchmark_enable_random_interleaving=true",
                                       "--benchmark_report_aggregates_only=true"};
  std::vector<char*> args(argv, argv + argc);
  for (std::string& flag : defaults) {
    const std::string name = flag.substr(0, flag.find('=') + 1);
    bool given = false;
    for (int i = 1; i < argc; ++i) given = given || std::strncmp(argv[i], name.c_str(), name.size()) == 0;
    if (!given) args.push_back(flag.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}

}  // namespace bench
