// Throughput of the correctly rounded exp_f32, tanh_f32 and erf_f32 over 2^20
// floats in the ranges the encoder gives them (exp [-10, 0] as softmax does,
// tanh [-5, 5], erf [-4, 4]): the scalar function in a loop beside the batch
// form on every kernel path this processor runs; also exp over one row of 768,
// where a call's fixed cost shows.
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kernels/exact_math.hpp"
#include "kernels/kernels_dispatch.hpp"

namespace orvo_compiler {
namespace {

using Scalar = float (*)(float);
using Batch = void (*)(detail::KernelPath, std::span<const float>, std::span<float>);

struct Workload {
  const char* name;
  Scalar scalar;
  Batch batch;
  float low;
  float high;
};

// `count` floats drawn uniformly from [low, high) by the standard's fully
// specified Mersenne twister.
std::vector<float> uniform(std::size_t count, float low, float high) {
  std::mt19937 random(12345u);
  std::uniform_real_distribution<float> distribution(low, high);
  std::vector<float> values(count);
  for (float& value : values) {
    value = distribution(random);
  }
  return values;
}

void set_rate(benchmark::State& state, std::size_t count) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(count));
}

void scalar_loop(benchmark::State& state, Workload workload, std::size_t count) {
  const std::vector<float> x = uniform(count, workload.low, workload.high);
  std::vector<float> out(count);
  for (auto _ : state) {
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = workload.scalar(x[i]);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_rate(state, count);
}

void batch_form(benchmark::State& state, Workload workload, detail::KernelPath path, std::size_t count) {
  const std::vector<float> x = uniform(count, workload.low, workload.high);
  std::vector<float> out(count);
  for (auto _ : state) {
    workload.batch(path, x, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_rate(state, count);
}

// Registers, for each workload and size, the scalar loop and then each path
// from portable to the widest.
int register_all() {
  const Workload workloads[] = {
      {"exp_f32", detail::exp_f32, detail::exp_f32_many, -10.0F, 0.0F},
      {"tanh_f32", detail::tanh_f32, detail::tanh_f32_many, -5.0F, 5.0F},
      {"erf_f32", detail::erf_f32, detail::erf_f32_many, -4.0F, 4.0F},
  };
  struct Size {
    const char* name;
    std::size_t count;
  };
  const std::vector<detail::KernelPath> paths = detail::available_paths();
  for (const Workload& workload : workloads) {
    for (const Size size : {Size{"1M", std::size_t{1} << 20}, Size{"768", 768}}) {
      if (size.count < 1024 && std::string(workload.name) != "exp_f32") {
        continue;
      }
      const std::string prefix = std::string(workload.name) + "/" + size.name + "/";
      benchmark::RegisterBenchmark((prefix + "scalar_loop").c_str(), scalar_loop, workload, size.count)
          ->MeasureProcessCPUTime();
      for (const detail::KernelPath path : paths) {
        benchmark::RegisterBenchmark((prefix + std::string(detail::path_name(path))).c_str(), batch_form, workload,
                                     path, size.count)
            ->MeasureProcessCPUTime();
      }
    }
  }
  benchmark::AddCustomContext("best_path", std::string(detail::path_name(detail::best_path())));
  return 0;
}

const int registered = register_all();

}  // namespace
}  // namespace orvo_compiler
