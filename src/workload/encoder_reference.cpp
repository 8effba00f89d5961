// The encoder layer evaluated on the host in single precision: pre-normalised
// multi-head self-attention with scaled scores, then a pre-normalised GELU
// feed-forward block, each closed by a residual addition. Every float step
// runs in a fixed order (built without FMA contraction), so two evaluations
// with equal arguments agree bit for bit.
#include <cmath>
#include <optional>

#include "support/checked_math.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/kernels.hpp"

namespace orvo_compiler {
namespace {

using detail::checked_mul;

// The float nearest 1e-5, the epsilon of both layer normalisations.
constexpr float layer_norm_epsilon = 1e-5F;

// True when `values` holds at least a x b elements; a count that overflows
// 64 bits is never held.
bool holds(const std::vector<float>& values, std::uint64_t a, std::uint64_t b) {
  const std::optional<std::uint64_t> count = checked_mul(a, b);
  return count && values.size() >= *count;
}

bool weights_fit(const EncoderConfig& config, const EncoderWeights& weights) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  return holds(weights.wq, h, h) && holds(weights.wk, h, h) && holds(weights.wv, h, h) && holds(weights.wo, h, h) &&
         holds(weights.w1, h, f) && holds(weights.w2, f, h);
}

// Whether a head's columns are at least one wide: heads without columns
// (more heads than hidden columns) write nothing, so attention skips them.
bool heads_have_columns(const EncoderConfig& config) { return config.hidden / config.heads != 0; }

// True when a list of a x b floats can exist at all: the count fits in 64
// bits and in the most elements a std::vector<float> can hold.
bool list_fits(std::uint64_t a, std::uint64_t b) {
  const std::optional<std::uint64_t> count = checked_mul(a, b);
  return count && *count <= std::vector<float>().max_size();
}

// The lists the layer builds beyond the sizes of its arguments: the sequence
// x sequence scores of a head (when heads have columns) and the sequence x
// feed_forward activations. Every other list is as long as the input or a
// weight matrix, which exist already.
bool intermediates_fit(const EncoderConfig& config) {
  const std::uint64_t s = config.sequence;
  return (!heads_have_columns(config) || list_fits(s, s)) && list_fits(s, config.feed_forward);
}

// Scaled dot-product attention of every head, written into `context` at the
// head's columns. Columns past heads x head_size are left as they are. The
// score of (row, column) sums over the head's columns in ascending order, the
// context value of (row, inner) over key positions in ascending order; both
// are matrix products with strided operands, so they run on the blocked path.
void attend(detail::KernelPath path, const EncoderConfig& config, const std::vector<float>& q,
            const std::vector<float>& k, const std::vector<float>& v, std::vector<float>& context) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t head_size = h / config.heads;
  // Skipping heads without columns is exact, and a huge head count cannot
  // spin. (Callers pass a non-empty layer whose intermediates fit, so
  // sequence and hidden are both at least 1 and s x s is a list's length.)
  if (!heads_have_columns(config)) {
    return;
  }
  const float scale_divisor = std::sqrt(static_cast<float>(head_size));

  std::vector<float> scores;
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    const std::uint64_t offset = head * head_size;
    scores.assign(s * s, 0.0F);
    // The right operand is k transposed: element (inner, column) lies at
    // column x h + offset + inner.
    detail::matmul_accumulate(path, detail::MatrixView{.data = q.data() + offset, .row_stride = h},
                              detail::MatrixView{.data = k.data() + offset, .row_stride = 1, .column_stride = h},
                              scores.data(), s, s, head_size, s);
    for (float& score : scores) {
      score = score / scale_divisor;
    }

    softmax_rows(scores, s, s);

    detail::matmul_accumulate(path, detail::MatrixView{.data = scores.data(), .row_stride = s},
                              detail::MatrixView{.data = v.data() + offset, .row_stride = h}, context.data() + offset,
                              h, s, s, head_size);
  }
}

// Element-wise sum of two lists of equal length, in order.
std::vector<float> add(std::span<const float> left, std::span<const float> right) {
  std::vector<float> sum(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    sum[i] = left[i] + right[i];
  }
  return sum;
}

}  // namespace

namespace detail {

Result<std::vector<float>> encoder_reference_with(KernelPath path, EncoderConfig config, std::span<const float> input,
                                                  const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const std::optional<std::uint64_t> input_count = checked_mul(s, h);
  if (!input_count || input.size() != *input_count) {
    return std::unexpected(CompileError::graph("encoder input size mismatch"));
  }
  if (config.heads == 0) {
    return std::unexpected(CompileError::graph("invalid encoder dimensions"));
  }
  if (!weights_fit(config, weights)) {
    return std::unexpected(CompileError::graph("encoder weights size mismatch"));
  }
  // A layer without elements (zero sequence or hidden) has an empty result;
  // its other dimensions may then be anything and must not drive a loop.
  if (input.empty()) {
    return std::vector<float>{};
  }
  if (!intermediates_fit(config)) {
    return std::unexpected(CompileError::graph("encoder dimensions too large"));
  }

  const std::vector<float> norm1 = layer_norm(input, s, h, layer_norm_epsilon);
  const std::vector<float> q = matmul_with(path, norm1, weights.wq, s, h, h);
  const std::vector<float> k = matmul_with(path, norm1, weights.wk, s, h, h);
  const std::vector<float> v = matmul_with(path, norm1, weights.wv, s, h, h);

  std::vector<float> context(input.size(), 0.0F);
  attend(path, config, q, k, v, context);

  const std::vector<float> projected = matmul_with(path, context, weights.wo, s, h, h);
  const std::vector<float> residual1 = add(input, projected);

  const std::vector<float> norm2 = layer_norm(residual1, s, h, layer_norm_epsilon);
  std::vector<float> hidden = matmul_with(path, norm2, weights.w1, s, h, f);
  for (float& value : hidden) {
    value = gelu(value);
  }
  const std::vector<float> down = matmul_with(path, hidden, weights.w2, s, f, h);
  return add(residual1, down);
}

}  // namespace detail

Result<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                             const EncoderWeights& weights) {
  return detail::encoder_reference_with(detail::best_path(), config, input, weights);
}

}  // namespace orvo_compiler
