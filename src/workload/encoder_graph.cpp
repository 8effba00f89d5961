// The encoder layer as a compiler graph: layer-normalised full-width
// attention and a layer-normalised GELU feed-forward block, each closed by a
// residual addition; and stacks of such layers, each reading the previous
// layer's output. The graph carries shapes only; weight values live on the
// host side.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "orvo_compiler/encoder.hpp"
#include "workload/layer_norm_epsilon.hpp"

namespace orvo_compiler {
namespace {

using detail::layer_norm_epsilon;

bool valid_dimensions(const EncoderConfig& config) {
  return config.hidden != 0 && config.sequence != 0 && config.heads != 0 && config.hidden % config.heads == 0;
}

// The builder calls of one layer, named with the bare names for layer 0 and
// with "l<i>." in front of them for layer i, passing the first error on:
// once a call has failed, later calls change nothing and return an id that
// is never read, and `finish` gives that error instead of the layer's output.
class LayerBuilder {
 public:
  LayerBuilder(Graph& graph, std::uint64_t layer)
      : graph_(graph), prefix_(layer == 0 ? std::string() : fmt::format("l{}.", layer)) {}

  TensorId weight(std::string_view name, Shape shape) {
    return error_ ? TensorId{} : graph_.weight(named(name), std::move(shape));
  }
  TensorId matmul(std::string_view name, TensorId left, TensorId right) {
    return step([&] { return graph_.matmul(named(name), left, right); });
  }
  TensorId add(std::string_view name, TensorId left, TensorId right) {
    return step([&] { return graph_.add(named(name), left, right); });
  }
  TensorId transpose(std::string_view name, TensorId input) {
    return step([&] { return graph_.transpose(named(name), input, {1, 0}); });
  }
  TensorId softmax(std::string_view name, TensorId input) {
    return step([&] { return graph_.softmax(named(name), input, 1); });
  }
  TensorId layer_norm(std::string_view name, TensorId input) {
    return step([&] { return graph_.layer_norm(named(name), input, layer_norm_epsilon); });
  }
  TensorId gelu(std::string_view name, TensorId input) {
    return step([&] { return graph_.gelu(named(name), input); });
  }

  [[nodiscard]] Result<TensorId> finish(TensorId output) const {
    if (error_) {
      return std::unexpected(*error_);
    }
    return output;
  }

 private:
  std::string_view named(std::string_view name) {
    buffer_.assign(prefix_);
    buffer_.append(name);
    return buffer_;
  }

  // Runs `call` unless an earlier call failed, and keeps its error.
  template <class Call>
  TensorId step(Call call) {
    if (error_) {
      return TensorId{};
    }
    const Result<TensorId> result = call();
    if (!result) {
      error_ = result.error();
      return TensorId{};
    }
    return *result;
  }

  Graph& graph_;
  std::string prefix_;
  std::string buffer_;
  std::optional<CompileError> error_;
};

// One layer's six weights, in the order the graph lists them.
struct LayerWeights {
  TensorId wq, wk, wv, wo, w1, w2;
};

LayerWeights add_weights(LayerBuilder& layer, const EncoderConfig& config) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  LayerWeights weights;
  weights.wq = layer.weight("wq", {h, h});
  weights.wk = layer.weight("wk", {h, h});
  weights.wv = layer.weight("wv", {h, h});
  weights.wo = layer.weight("wo", {h, h});
  weights.w1 = layer.weight("w1", {h, f});
  weights.w2 = layer.weight("w2", {f, h});
  return weights;
}

// The attention block on `input` ([S, H]): its ten operations, ending in
// "attention_residual".
TensorId add_attention(LayerBuilder& layer, const LayerWeights& weights, TensorId input) {
  const TensorId norm1 = layer.layer_norm("norm1", input);
  const TensorId q = layer.matmul("q", norm1, weights.wq);
  const TensorId k = layer.matmul("k", norm1, weights.wk);
  const TensorId v = layer.matmul("v", norm1, weights.wv);
  const TensorId k_transpose = layer.transpose("k_transpose", k);
  const TensorId scores = layer.matmul("attention_scores", q, k_transpose);
  const TensorId probabilities = layer.softmax("attention_softmax", scores);
  const TensorId context = layer.matmul("attention_context", probabilities, v);
  const TensorId projection = layer.matmul("attention_projection", context, weights.wo);
  return layer.add("attention_residual", input, projection);
}

// The feed-forward block on the attention block's output: its five
// operations, ending in "ffn_residual".
TensorId add_feed_forward(LayerBuilder& layer, const LayerWeights& weights, TensorId attention_residual) {
  const TensorId norm2 = layer.layer_norm("norm2", attention_residual);
  const TensorId up = layer.matmul("ffn_up", norm2, weights.w1);
  const TensorId activated = layer.gelu("ffn_gelu", up);
  const TensorId down = layer.matmul("ffn_down", activated, weights.w2);
  return layer.add("ffn_residual", attention_residual, down);
}

// Appends one encoder layer reading `input` (shape [S, H]): its six weights,
// then its fifteen operations. Returns the layer's output, "ffn_residual".
// The builder's shape rules make every call succeed for dimensions that passed
// the check; an error is still passed on as is.
Result<TensorId> append_layer(Graph& graph, const EncoderConfig& config, std::uint64_t layer_index, TensorId input) {
  LayerBuilder layer(graph, layer_index);
  const LayerWeights weights = add_weights(layer, config);
  const TensorId attention_residual = add_attention(layer, weights, input);
  return layer.finish(add_feed_forward(layer, weights, attention_residual));
}

}  // namespace

Result<Graph> encoder_stack_graph(EncoderConfig config, std::uint64_t layers) {
  if (layers == 0 || !valid_dimensions(config)) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }
  Graph graph;
  TensorId output = graph.input("input", {config.sequence, config.hidden});
  for (std::uint64_t layer = 0; layer < layers; ++layer) {
    const Result<TensorId> layer_output = append_layer(graph, config, layer, output);
    if (!layer_output) {
      return std::unexpected(layer_output.error());
    }
    output = *layer_output;
  }
  graph.mark_output(output);
  return graph;
}

Result<Graph> encoder_graph(EncoderConfig config) { return encoder_stack_graph(config, 1); }

}  // namespace orvo_compiler
