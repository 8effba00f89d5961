// The encoder layer as a compiler graph: layer-normalised full-width
// attention and a layer-normalised GELU feed-forward block, each closed by a
// residual addition. The graph carries shapes only; weight values live on the
// host side.
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

// The float nearest 1e-5, the epsilon of both layer normalisations.
constexpr float layer_norm_epsilon = 1e-5F;

bool valid_dimensions(const EncoderConfig& config) {
  return config.hidden != 0 && config.sequence != 0 && config.heads != 0 && config.hidden % config.heads == 0;
}

}  // namespace

Result<Graph> encoder_graph(EncoderConfig config) {
  if (!valid_dimensions(config)) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;

  Graph graph;
  const TensorId input = graph.input("input", {s, h});
  const TensorId wq = graph.weight("wq", {h, h});
  const TensorId wk = graph.weight("wk", {h, h});
  const TensorId wv = graph.weight("wv", {h, h});
  const TensorId wo = graph.weight("wo", {h, h});
  const TensorId w1 = graph.weight("w1", {h, f});
  const TensorId w2 = graph.weight("w2", {f, h});

  // Attention block. The builder's shape rules make every call below succeed
  // for dimensions that passed the check; an error is still passed on as is.
  const Result<TensorId> norm1 = graph.layer_norm("norm1", input, layer_norm_epsilon);
  if (!norm1) {
    return std::unexpected(norm1.error());
  }
  const Result<TensorId> q = graph.matmul("q", *norm1, wq);
  if (!q) {
    return std::unexpected(q.error());
  }
  const Result<TensorId> k = graph.matmul("k", *norm1, wk);
  if (!k) {
    return std::unexpected(k.error());
  }
  const Result<TensorId> v = graph.matmul("v", *norm1, wv);
  if (!v) {
    return std::unexpected(v.error());
  }
  const Result<TensorId> k_transpose = graph.transpose("k_transpose", *k, {1, 0});
  if (!k_transpose) {
    return std::unexpected(k_transpose.error());
  }
  const Result<TensorId> scores = graph.matmul("attention_scores", *q, *k_transpose);
  if (!scores) {
    return std::unexpected(scores.error());
  }
  const Result<TensorId> probabilities = graph.softmax("attention_softmax", *scores, 1);
  if (!probabilities) {
    return std::unexpected(probabilities.error());
  }
  const Result<TensorId> context = graph.matmul("attention_context", *probabilities, *v);
  if (!context) {
    return std::unexpected(context.error());
  }
  const Result<TensorId> projection = graph.matmul("attention_projection", *context, wo);
  if (!projection) {
    return std::unexpected(projection.error());
  }
  const Result<TensorId> attention_residual = graph.add("attention_residual", input, *projection);
  if (!attention_residual) {
    return std::unexpected(attention_residual.error());
  }

  // Feed-forward block.
  const Result<TensorId> norm2 = graph.layer_norm("norm2", *attention_residual, layer_norm_epsilon);
  if (!norm2) {
    return std::unexpected(norm2.error());
  }
  const Result<TensorId> up = graph.matmul("ffn_up", *norm2, w1);
  if (!up) {
    return std::unexpected(up.error());
  }
  const Result<TensorId> activated = graph.gelu("ffn_gelu", *up);
  if (!activated) {
    return std::unexpected(activated.error());
  }
  const Result<TensorId> down = graph.matmul("ffn_down", *activated, w2);
  if (!down) {
    return std::unexpected(down.error());
  }
  const Result<TensorId> output = graph.add("ffn_residual", *attention_residual, *down);
  if (!output) {
    return std::unexpected(output.error());
  }

  graph.mark_output(*output);
  return graph;
}

}  // namespace orvo_compiler
