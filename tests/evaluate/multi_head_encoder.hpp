// The encoder layer as the host reference computes it (attention split into
// heads, scores divided by the square root of the head size), written as a
// graph of the model operations, and the values that feed it. Evaluating it
// must reproduce encoder_reference bit for bit; shared by tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::test_support {

// Stops at the first failed builder call and remembers its error, so a layer
// reads as a list of calls.
class Builder {
 public:
  Builder(Graph& graph, std::string prefix) : graph_(graph), prefix_(std::move(prefix)) {}

  template <class Call>
  TensorId operator()(Call call) {
    if (!error_.empty()) {
      return TensorId{};
    }
    const Result<TensorId> made = call(graph_);
    if (!made) {
      error_ = made.error().message;
      return TensorId{};
    }
    return *made;
  }

  [[nodiscard]] std::string name(std::string_view base) const { return prefix_ + std::string(base); }
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  Graph& graph_;
  std::string prefix_;
  std::string error_;
};

// Splits [S, H] into heads: [heads, S, head_size], or [heads, head_size, S]
// when `keys_last` (the keys, ready to be multiplied).
inline TensorId split_heads(Builder& b, const EncoderConfig& config, std::string_view name, TensorId tensor,
                            bool keys_last) {
  const std::uint64_t head_size = config.hidden / config.heads;
  const TensorId split = b([&](Graph& g) {
    return g.reshape(b.name(std::string(name) + "_split"), tensor, {config.sequence, config.heads, head_size});
  });
  const std::vector<std::uint64_t> order = keys_last ? std::vector<std::uint64_t>{1, 2, 0}
                                                     : std::vector<std::uint64_t>{1, 0, 2};
  return b([&](Graph& g) { return g.transpose(b.name(std::string(name) + "_heads"), split, order); });
}

// Multi-head attention of norm1's projections; `scale` is the [1] tensor
// holding sqrt(head_size). Returns the [S, H] context.
inline TensorId attention(Builder& b, const EncoderConfig& config, TensorId q, TensorId k, TensorId v,
                          TensorId scale) {
  const std::uint64_t s = config.sequence;
  const TensorId q_heads = split_heads(b, config, "q", q, false);
  const TensorId k_heads = split_heads(b, config, "k", k, true);
  const TensorId v_heads = split_heads(b, config, "v", v, false);
  const TensorId scores = b([&](Graph& g) { return g.batch_matmul(b.name("scores"), q_heads, k_heads); });
  const TensorId divisor =
      b([&](Graph& g) { return g.broadcast(b.name("score_divisor"), scale, {config.heads, s, s}); });
  const TensorId scaled = b([&](Graph& g) { return g.div(b.name("scaled_scores"), scores, divisor); });
  const TensorId probabilities = b([&](Graph& g) { return g.softmax(b.name("probabilities"), scaled, 2); });
  const TensorId context_heads =
      b([&](Graph& g) { return g.batch_matmul(b.name("context_heads"), probabilities, v_heads); });
  const TensorId context_rows =
      b([&](Graph& g) { return g.transpose(b.name("context_rows"), context_heads, {1, 0, 2}); });
  return b([&](Graph& g) { return g.reshape(b.name("context"), context_rows, {s, config.hidden}); });
}

// Appends one layer reading `input`; names carry the prefix "l<i>." for
// layer i > 0, as in encoder_stack_graph. Returns the layer's output.
inline TensorId append_multi_head_layer(Builder& b, Graph& graph, const EncoderConfig& config, TensorId input,
                                        TensorId scale) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const TensorId wq = graph.weight(b.name("wq"), {h, h});
  const TensorId wk = graph.weight(b.name("wk"), {h, h});
  const TensorId wv = graph.weight(b.name("wv"), {h, h});
  const TensorId wo = graph.weight(b.name("wo"), {h, h});
  const TensorId w1 = graph.weight(b.name("w1"), {h, f});
  const TensorId w2 = graph.weight(b.name("w2"), {f, h});

  const TensorId norm1 = b([&](Graph& g) { return g.layer_norm(b.name("norm1"), input, 1e-5F); });
  const TensorId q = b([&](Graph& g) { return g.matmul(b.name("q"), norm1, wq); });
  const TensorId k = b([&](Graph& g) { return g.matmul(b.name("k"), norm1, wk); });
  const TensorId v = b([&](Graph& g) { return g.matmul(b.name("v"), norm1, wv); });
  const TensorId context = attention(b, config, q, k, v, scale);
  const TensorId projection = b([&](Graph& g) { return g.matmul(b.name("projection"), context, wo); });
  const TensorId residual = b([&](Graph& g) { return g.add(b.name("attention_residual"), input, projection); });
  const TensorId norm2 = b([&](Graph& g) { return g.layer_norm(b.name("norm2"), residual, 1e-5F); });
  const TensorId up = b([&](Graph& g) { return g.matmul(b.name("ffn_up"), norm2, w1); });
  const TensorId activated = b([&](Graph& g) { return g.gelu(b.name("ffn_gelu"), up); });
  const TensorId down = b([&](Graph& g) { return g.matmul(b.name("ffn_down"), activated, w2); });
  return b([&](Graph& g) { return g.add(b.name("ffn_residual"), residual, down); });
}

// `layers` multi-head layers in sequence; the source "head_size" ([1]) holds
// float(hidden / heads), whose square root divides the scores.
inline Result<Graph> multi_head_encoder_graph(const EncoderConfig& config, std::uint64_t layers) {
  Graph graph;
  TensorId output = graph.input("input", {config.sequence, config.hidden});
  const TensorId head_size = graph.input("head_size", {1});
  Builder root(graph, "");
  const TensorId scale = root([&](Graph& g) { return g.sqrt("score_scale", head_size); });
  if (!root.error().empty()) {
    return std::unexpected(CompileError::graph(root.error()));
  }
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    Builder b(graph, layer == 0 ? std::string() : fmt::format("l{}.", layer));
    output = append_multi_head_layer(b, graph, config, output, scale);
    if (!b.error().empty()) {
      return std::unexpected(CompileError::graph(b.error()));
    }
  }
  graph.mark_output(output);
  return graph;
}

// The id of the tensor called `name`; TensorId{tensors.size()} when none is.
inline TensorId tensor_named(const Graph& graph, std::string_view name) {
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.name == name) {
      return tensor.id;
    }
  }
  return TensorId{graph.tensors.size()};
}

// Values for a graph built from encoder layers (encoder_stack_graph's names):
// `input`, the same `weights` for every layer, and "head_size" where the graph
// has it.
inline TensorValues encoder_values(const Graph& graph, const EncoderConfig& config, std::uint64_t layers,
                                   const std::vector<float>& input, const EncoderWeights& weights) {
  TensorValues values;
  values[tensor_named(graph, "input")] = input;
  const TensorId head_size = tensor_named(graph, "head_size");
  if (head_size.index < graph.tensors.size()) {
    values[head_size] = {static_cast<float>(config.hidden / config.heads)};
  }
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    const std::string prefix = layer == 0 ? std::string() : fmt::format("l{}.", layer);
    values[tensor_named(graph, prefix + "wq")] = weights.wq;
    values[tensor_named(graph, prefix + "wk")] = weights.wk;
    values[tensor_named(graph, prefix + "wv")] = weights.wv;
    values[tensor_named(graph, prefix + "wo")] = weights.wo;
    values[tensor_named(graph, prefix + "w1")] = weights.w1;
    values[tensor_named(graph, prefix + "w2")] = weights.w2;
  }
  return values;
}

}  // namespace orvo_compiler::test_support
