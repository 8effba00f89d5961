// The encoder layer as a compiler graph: layer-normalised full-width
// attention and a layer-normalised GELU feed-forward block, each closed by a
// residual addition; and stacks of such layers, each reading the previous
// layer's output. The graph carries shapes only; weight values live on the
// host side.
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

// The float nearest 1e-5, the epsilon of both layer normalisations.
constexpr float layer_norm_epsilon = 1e-5F;

bool valid_dimensions(const EncoderConfig& config) {
  return config.hidden != 0 && config.sequence != 0 && config.heads != 0 && config.hidden % config.heads == 0;
}

// Builds the names of one layer's tensors and operations: the bare names for
// layer 0, "l<i>." in front of them for layer i.
class LayerNames {
 public:
  explicit LayerNames(std::uint64_t layer) : prefix_(layer == 0 ? std::string() : fmt::format("l{}.", layer)) {}

  std::string_view operator()(std::string_view name) {
    buffer_.assign(prefix_);
    buffer_.append(name);
    return buffer_;
  }

 private:
  std::string prefix_;
  std::string buffer_;
};

// Appends one encoder layer reading `input` (shape [S, H]): its six weights,
// then its fifteen operations. Returns the layer's output, "ffn_residual".
// The builder's shape rules make every call succeed for dimensions that passed
// the check; an error is still passed on as is.
Result<TensorId> append_layer(Graph& graph, const EncoderConfig& config, std::uint64_t layer, TensorId input) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  LayerNames name(layer);

  const TensorId wq = graph.weight(name("wq"), {h, h});
  const TensorId wk = graph.weight(name("wk"), {h, h});
  const TensorId wv = graph.weight(name("wv"), {h, h});
  const TensorId wo = graph.weight(name("wo"), {h, h});
  const TensorId w1 = graph.weight(name("w1"), {h, f});
  const TensorId w2 = graph.weight(name("w2"), {f, h});

  // Attention block.
  const Result<TensorId> norm1 = graph.layer_norm(name("norm1"), input, layer_norm_epsilon);
  if (!norm1) {
    return norm1;
  }
  const Result<TensorId> q = graph.matmul(name("q"), *norm1, wq);
  if (!q) {
    return q;
  }
  const Result<TensorId> k = graph.matmul(name("k"), *norm1, wk);
  if (!k) {
    return k;
  }
  const Result<TensorId> v = graph.matmul(name("v"), *norm1, wv);
  if (!v) {
    return v;
  }
  const Result<TensorId> k_transpose = graph.transpose(name("k_transpose"), *k, {1, 0});
  if (!k_transpose) {
    return k_transpose;
  }
  const Result<TensorId> scores = graph.matmul(name("attention_scores"), *q, *k_transpose);
  if (!scores) {
    return scores;
  }
  const Result<TensorId> probabilities = graph.softmax(name("attention_softmax"), *scores, 1);
  if (!probabilities) {
    return probabilities;
  }
  const Result<TensorId> context = graph.matmul(name("attention_context"), *probabilities, *v);
  if (!context) {
    return context;
  }
  const Result<TensorId> projection = graph.matmul(name("attention_projection"), *context, wo);
  if (!projection) {
    return projection;
  }
  const Result<TensorId> attention_residual = graph.add(name("attention_residual"), input, *projection);
  if (!attention_residual) {
    return attention_residual;
  }

  // Feed-forward block.
  const Result<TensorId> norm2 = graph.layer_norm(name("norm2"), *attention_residual, layer_norm_epsilon);
  if (!norm2) {
    return norm2;
  }
  const Result<TensorId> up = graph.matmul(name("ffn_up"), *norm2, w1);
  if (!up) {
    return up;
  }
  const Result<TensorId> activated = graph.gelu(name("ffn_gelu"), *up);
  if (!activated) {
    return activated;
  }
  const Result<TensorId> down = graph.matmul(name("ffn_down"), *activated, w2);
  if (!down) {
    return down;
  }
  return graph.add(name("ffn_residual"), *attention_residual, *down);
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
