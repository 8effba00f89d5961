// evaluate beside PreparedEvaluation on one imported BERT-base-size layer
// (sequence 128, width 768, 12 heads, feed-forward 3072; see bert_model.hpp):
// all three forms run in every iteration, one after the other, in wall time
// (the prepared ones with 1 and 2 threads), so the ratios come from one run on
// one machine state. The prepared runs write into the previous run's outputs.
// With ORVO_BERT_LAYER_ONNX set, the model is also written to that path, for
// timing the same file elsewhere.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bert_model.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/onnx.hpp"
#include "orvo_compiler/prepared.hpp"

namespace orvo_compiler {
namespace {

struct Layer {
  ImportedModel model;
  TensorValues values;
};

std::optional<Layer> bert_layer() {
  const std::vector<std::uint8_t> bytes = bench_support::bert_bytes(bench_support::Bert{.layers = 1});
  if (const char* path = std::getenv("ORVO_BERT_LAYER_ONNX")) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
  }
  Result<ImportedModel> model = import_onnx(std::span<const std::uint8_t>(bytes));
  if (!model) {
    return std::nullopt;
  }
  Layer layer{.model = std::move(*model), .values = {}};
  layer.values = layer.model.weights;
  const TensorId input = layer.model.graph.tensors.front().id;
  layer.values[input] = bench_support::filled(static_cast<std::int64_t>(layer.model.graph.tensors.front().elements()), 99);
  return layer;
}

double seconds_of(auto&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void bert_layer_evaluate_vs_prepared(benchmark::State& state) {
  const std::optional<Layer> layer = bert_layer();
  if (!layer) {
    state.SkipWithError("the layer does not import");
    return;
  }
  Result<PreparedEvaluation> one = PreparedEvaluation::make(layer->model.graph, 1);
  Result<PreparedEvaluation> two = PreparedEvaluation::make(layer->model.graph, 2);
  if (!one || !two) {
    state.SkipWithError("the layer does not prepare");
    return;
  }
  TensorValues outputs_one;
  TensorValues outputs_two;
  double evaluate_seconds = 0.0;
  double one_seconds = 0.0;
  double two_seconds = 0.0;
  bool failed = false;
  for (auto _ : state) {
    evaluate_seconds += seconds_of([&] {
      const Result<TensorValues> outputs = evaluate(layer->model.graph, layer->values);
      failed = failed || !outputs;
      benchmark::DoNotOptimize(outputs);
    });
    one_seconds += seconds_of([&] { failed = failed || !one->run(layer->values, outputs_one); });
    two_seconds += seconds_of([&] { failed = failed || !two->run(layer->values, outputs_two); });
  }
  if (failed || outputs_one != outputs_two) {
    state.SkipWithError("a run failed or the thread counts disagree");
    return;
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["evaluate_ms"] = evaluate_seconds * 1e3 / iterations;
  state.counters["prepared1_ms"] = one_seconds * 1e3 / iterations;
  state.counters["prepared2_ms"] = two_seconds * 1e3 / iterations;
  state.counters["speedup1"] = evaluate_seconds / one_seconds;
  state.counters["speedup2"] = evaluate_seconds / two_seconds;
  state.counters["passes"] = static_cast<double>(one->passes());
  state.counters["ops"] = static_cast<double>(layer->model.graph.ops.size());
  state.counters["arena_MB"] = static_cast<double>(one->arena_bytes()) * 1e-6;
}

BENCHMARK(bert_layer_evaluate_vs_prepared)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace orvo_compiler
