// The ONNX importer on a 12-layer BERT-base encoder (sequence 128, width 768,
// 12 heads, feed-forward 3072) written as PyTorch exports it: MatMul against
// [in, out] initializers plus Add(bias, product), reshape/transpose heads,
// LayerNormalization, erf GELU, weights in raw_data. import_onnx beside
// protobuf's own parse of the same bytes, alone and as a processor-time ratio.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include "bert_model.hpp"
#include "orvo_compiler/onnx.hpp"
#include "processor_ratio.hpp"

namespace orvo_compiler {
namespace {

using bench_support::Bert;
using bench_support::bert_bytes;

const std::vector<std::uint8_t>& model_bytes() {
  static const std::vector<std::uint8_t> bytes = bert_bytes(Bert{});
  return bytes;
}

bool parse(const std::vector<std::uint8_t>& bytes) {
  onnx::ModelProto model;
  return model.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
}

void onnx_parse(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = model_bytes();
  for (auto _ : state) {
    benchmark::DoNotOptimize(parse(bytes));
  }
  state.counters["MB"] = static_cast<double>(bytes.size()) * 1e-6;
}

void onnx_import(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = model_bytes();
  for (auto _ : state) {
    const Result<ImportedModel> model = import_onnx(std::span<const std::uint8_t>(bytes));
    if (!model) {
      state.SkipWithError(model.error().message.c_str());
      return;
    }
    benchmark::DoNotOptimize(model->graph.ops.size());
  }
}

// Both in processor time in every iteration, one after the other.
void onnx_import_ratio(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = model_bytes();
  bench_support::time_ratio(
      state, "parse", [&] { benchmark::DoNotOptimize(parse(bytes)); }, "import",
      [&] { benchmark::DoNotOptimize(import_onnx(std::span<const std::uint8_t>(bytes)).has_value()); });
}

BENCHMARK(onnx_parse)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(onnx_import)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(onnx_import_ratio)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
}  // namespace orvo_compiler
