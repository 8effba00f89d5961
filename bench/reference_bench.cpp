// Throughput of the reference kernels: the 128 x 768 x 3072 matrix product and
// whole encoder layers (the BERT-base shape and the default shape), on every
// kernel path this processor runs, beside the plain-loop oracle and beside
// single-threaded OpenBLAS (its sgemm, and an encoder layer built on it); and
// the graph evaluator on encoder layers beside the host reference.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "evaluate/multi_head_encoder.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "kernels/kernels_oracle.hpp"
#include "processor_ratio.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/kernels.hpp"

#if defined(ORVO_BENCH_OPENBLAS)
#include <cblas.h>
#endif

namespace orvo_compiler {
namespace {

struct MatmulShape {
  std::uint64_t rows = 128;
  std::uint64_t inner = 768;
  std::uint64_t columns = 3072;
};

// Values spread over a few binades, from a fixed linear congruential sequence.
std::vector<float> filled(std::size_t count, std::uint32_t seed) {
  std::vector<float> values(count);
  std::uint32_t state = seed;
  for (float& value : values) {
    state = state * 1664525U + 1013904223U;
    value = static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23)) / 4194304.0F;
  }
  return values;
}

// Multiply-adds of the layer's matrix products, counted as two operations each.
double encoder_flops(const EncoderConfig& config) {
  const auto s = static_cast<double>(config.sequence);
  const auto h = static_cast<double>(config.hidden);
  const auto f = static_cast<double>(config.feed_forward);
  const auto head_size = static_cast<double>(config.hidden / config.heads);
  const auto heads = static_cast<double>(config.heads);
  return 2.0 * (4.0 * s * h * h + 2.0 * s * h * f + 2.0 * heads * s * s * head_size);
}

void set_rate(benchmark::State& state, double flops) {
  state.counters["GFLOP/s"] =
      benchmark::Counter(flops * 1e-9 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void matmul_oracle(benchmark::State& state, MatmulShape shape) {
  const std::vector<float> left = filled(shape.rows * shape.inner, 1);
  const std::vector<float> right = filled(shape.inner * shape.columns, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(oracle::matmul(left, right, shape.rows, shape.inner, shape.columns));
  }
  set_rate(state, 2.0 * static_cast<double>(shape.rows * shape.inner * shape.columns));
}

void matmul_path(benchmark::State& state, detail::KernelPath path, MatmulShape shape) {
  const std::vector<float> left = filled(shape.rows * shape.inner, 1);
  const std::vector<float> right = filled(shape.inner * shape.columns, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(detail::matmul_with(path, left, right, shape.rows, shape.inner, shape.columns));
  }
  set_rate(state, 2.0 * static_cast<double>(shape.rows * shape.inner * shape.columns));
}

std::vector<float> encoder_input(const EncoderConfig& config) { return filled(config.sequence * config.hidden, 3); }

void encoder_oracle(benchmark::State& state, EncoderConfig config) {
  const std::vector<float> input = encoder_input(config);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  for (auto _ : state) {
    benchmark::DoNotOptimize(oracle::encoder_reference(config, input, weights));
  }
  set_rate(state, encoder_flops(config));
}

void encoder_path(benchmark::State& state, detail::KernelPath path, EncoderConfig config) {
  const std::vector<float> input = encoder_input(config);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  for (auto _ : state) {
    benchmark::DoNotOptimize(detail::encoder_reference_with(path, config, input, weights));
  }
  set_rate(state, encoder_flops(config));
}

// The encoder layer as a graph: the compiler's encoder graph (attention as one
// full-width head) or the multi-head layer that computes what encoder_reference does.
enum class LayerGraph : std::uint8_t { Encoder, MultiHead };

Result<Graph> layer_graph(LayerGraph kind, const EncoderConfig& config) {
  switch (kind) {
    case LayerGraph::Encoder:
      return encoder_graph(config);
    case LayerGraph::MultiHead:
      return test_support::multi_head_encoder_graph(config, 1);
  }
  return encoder_graph(config);
}

void encoder_evaluate(benchmark::State& state, LayerGraph kind, EncoderConfig config) {
  const Result<Graph> graph = layer_graph(kind, config);
  if (!graph) {
    state.SkipWithError(graph.error().message.c_str());
    return;
  }
  const TensorValues values = test_support::encoder_values(*graph, config, 1, encoder_input(config),
                                                           EncoderWeights::deterministic(config));
  for (auto _ : state) {
    benchmark::DoNotOptimize(evaluate(*graph, values));
  }
  set_rate(state, encoder_flops(config));
}

// Evaluation time over encoder_reference time on the same layer, both timed
// in processor time in every iteration, one after the other, so that both see
// the same machine however busy it is.
void encoder_evaluate_ratio(benchmark::State& state, LayerGraph kind, EncoderConfig config) {
  const Result<Graph> graph = layer_graph(kind, config);
  if (!graph) {
    state.SkipWithError(graph.error().message.c_str());
    return;
  }
  const std::vector<float> input = encoder_input(config);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const TensorValues values = test_support::encoder_values(*graph, config, 1, input, weights);
  bench_support::time_ratio(
      state, "reference", [&] { benchmark::DoNotOptimize(encoder_reference(config, input, weights)); }, "evaluate",
      [&] { benchmark::DoNotOptimize(evaluate(*graph, values)); });
}

#if defined(ORVO_BENCH_OPENBLAS)

// Called at registration, before any product, and again by every OpenBLAS
// benchmark, so that no product runs on more than one thread whatever the
// environment says.
void single_threaded_openblas() { openblas_set_num_threads(1); }

std::vector<float> sgemm(std::span<const float> left, std::span<const float> right, std::uint64_t rows,
                         std::uint64_t inner, std::uint64_t columns) {
  std::vector<float> output(rows * columns);
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<int>(rows), static_cast<int>(columns),
              static_cast<int>(inner), 1.0F, left.data(), static_cast<int>(inner), right.data(),
              static_cast<int>(columns), 0.0F, output.data(), static_cast<int>(columns));
  return output;
}

void matmul_openblas(benchmark::State& state, MatmulShape shape) {
  single_threaded_openblas();
  const std::vector<float> left = filled(shape.rows * shape.inner, 1);
  const std::vector<float> right = filled(shape.inner * shape.columns, 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sgemm(left, right, shape.rows, shape.inner, shape.columns));
  }
  set_rate(state, 2.0 * static_cast<double>(shape.rows * shape.inner * shape.columns));
}

// The same layer with every matrix product handed to sgemm (the score scaling
// folded into its alpha) and the library's own normalisation, softmax and GELU.
std::vector<float> openblas_encoder(const EncoderConfig& config, std::span<const float> input,
                                    const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const std::uint64_t head_size = h / config.heads;
  const auto si = static_cast<int>(s);
  const auto hi = static_cast<int>(h);
  const auto head_int = static_cast<int>(head_size);

  const std::vector<float> norm1 = layer_norm(input, s, h, 1e-5F);
  const std::vector<float> q = sgemm(norm1, weights.wq, s, h, h);
  const std::vector<float> k = sgemm(norm1, weights.wk, s, h, h);
  const std::vector<float> v = sgemm(norm1, weights.wv, s, h, h);

  std::vector<float> context(s * h, 0.0F);
  std::vector<float> scores(s * s);
  const float scale = 1.0F / std::sqrt(static_cast<float>(head_size));
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    const std::uint64_t offset = head * head_size;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, si, si, head_int, scale, q.data() + offset, hi,
                k.data() + offset, hi, 0.0F, scores.data(), si);
    softmax_rows(scores, s, s);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, si, head_int, si, 1.0F, scores.data(), si, v.data() + offset,
                hi, 0.0F, context.data() + offset, hi);
  }

  const std::vector<float> projected = sgemm(context, weights.wo, s, h, h);
  std::vector<float> residual1(s * h);
  for (std::size_t i = 0; i < residual1.size(); ++i) {
    residual1[i] = input[i] + projected[i];
  }
  const std::vector<float> norm2 = layer_norm(residual1, s, h, 1e-5F);
  std::vector<float> hidden = sgemm(norm2, weights.w1, s, h, f);
  for (float& value : hidden) {
    value = gelu(value);
  }
  const std::vector<float> down = sgemm(hidden, weights.w2, s, f, h);
  std::vector<float> output(s * h);
  for (std::size_t i = 0; i < output.size(); ++i) {
    output[i] = residual1[i] + down[i];
  }
  return output;
}

void encoder_openblas(benchmark::State& state, EncoderConfig config) {
  single_threaded_openblas();
  const std::vector<float> input = encoder_input(config);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  for (auto _ : state) {
    benchmark::DoNotOptimize(openblas_encoder(config, input, weights));
  }
  set_rate(state, encoder_flops(config));
}

#endif

// Registers every benchmark in a fixed order: for each workload the oracle,
// each path from portable to the widest, the public entry point (the widest
// path), then OpenBLAS; for encoder layers then the evaluator on both graphs,
// each alone and as a ratio to encoder_reference.
void configure(benchmark::internal::Benchmark* bench) { bench->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime(); }

int register_all() {
  const std::vector<detail::KernelPath> paths = detail::available_paths();
  const MatmulShape matmul_shape;
  configure(benchmark::RegisterBenchmark("matmul/128x768x3072/oracle", matmul_oracle, matmul_shape));
  for (const detail::KernelPath path : paths) {
    configure(benchmark::RegisterBenchmark(("matmul/128x768x3072/" + std::string(detail::path_name(path))).c_str(),
                                           matmul_path, path, matmul_shape));
  }
#if defined(ORVO_BENCH_OPENBLAS)
  configure(benchmark::RegisterBenchmark("matmul/128x768x3072/openblas", matmul_openblas, matmul_shape));
  single_threaded_openblas();
  benchmark::AddCustomContext("openblas_core", openblas_get_corename());
  benchmark::AddCustomContext("openblas_threads", std::to_string(openblas_get_num_threads()));
#endif

  struct Named {
    const char* name;
    EncoderConfig config;
  };
  for (const Named& shape : {Named{"bert_base", {128, 768, 12, 3072}}, Named{"default", EncoderConfig{}}}) {
    const std::string prefix = std::string("encoder_reference/") + shape.name + "/";
    configure(benchmark::RegisterBenchmark((prefix + "oracle").c_str(), encoder_oracle, shape.config));
    for (const detail::KernelPath path : paths) {
      configure(benchmark::RegisterBenchmark((prefix + std::string(detail::path_name(path))).c_str(), encoder_path,
                                             path, shape.config));
    }
#if defined(ORVO_BENCH_OPENBLAS)
    configure(benchmark::RegisterBenchmark((prefix + "openblas").c_str(), encoder_openblas, shape.config));
#endif
    const std::string evaluate_prefix = std::string("encoder_evaluate/") + shape.name + "/";
    for (const auto& [graph_name, kind] :
         {std::pair{"encoder_graph", LayerGraph::Encoder}, std::pair{"multi_head", LayerGraph::MultiHead}}) {
      configure(benchmark::RegisterBenchmark((evaluate_prefix + graph_name).c_str(), encoder_evaluate, kind,
                                             shape.config));
      configure(benchmark::RegisterBenchmark((evaluate_prefix + graph_name + "/ratio").c_str(),
                                             encoder_evaluate_ratio, kind, shape.config));
    }
  }
  benchmark::AddCustomContext("best_path", std::string(detail::path_name(detail::best_path())));
  return 0;
}

const int registered = register_all();

}  // namespace
}  // namespace orvo_compiler
