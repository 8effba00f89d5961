// Two pieces of work timed in processor time in every iteration, one after
// the other, so that both see the same machine however busy it is: each one's
// milliseconds and their ratio, as benchmark counters.
#pragma once

#include <ctime>
#include <string>

#include <benchmark/benchmark.h>

namespace orvo_compiler::bench_support {

// Processor seconds used by this process so far.
inline double process_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Runs `baseline` then `measured` in every iteration; sets the counters
// "<baseline_name>_ms", "<measured_name>_ms" (per iteration) and "ratio"
// (measured over baseline).
template <class Baseline, class Measured>
void time_ratio(benchmark::State& state, const std::string& baseline_name, Baseline&& baseline,
                const std::string& measured_name, Measured&& measured) {
  double baseline_seconds = 0.0;
  double measured_seconds = 0.0;
  for (auto _ : state) {
    const double start = process_seconds();
    baseline();
    const double middle = process_seconds();
    measured();
    baseline_seconds += middle - start;
    measured_seconds += process_seconds() - middle;
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters[baseline_name + "_ms"] = baseline_seconds * 1e3 / iterations;
  state.counters[measured_name + "_ms"] = measured_seconds * 1e3 / iterations;
  state.counters["ratio"] = measured_seconds / baseline_seconds;
}

}  // namespace orvo_compiler::bench_support
