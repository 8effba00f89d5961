// The encoder layer evaluated on the host in single precision: pre-normalised
// multi-head self-attention with scaled scores, then a pre-normalised GELU
// feed-forward block, each closed by a residual addition. Every float step
// runs in a fixed order (built without FMA contraction), so two evaluations
// with equal arguments agree bit for bit. The temporaries are cut from one
// list, the caller's workspace or the call's own, and reused within a call.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "support/checked_math.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "orvo_compiler/encoder.hpp"
#include "workload/layer_norm_epsilon.hpp"
#include "orvo_compiler/kernels.hpp"

namespace orvo_compiler {
namespace {

using detail::checked_mul;

using detail::layer_norm_epsilon;

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

// The lists that bound the layer's size: the sequence x sequence scores of a
// head (when heads have columns) and the sequence x feed_forward activations.
// The activations are built a block of columns at a time, but a layer whose
// whole activations no list could hold is refused all the same. Every other
// list is as long as the input or a weight matrix, which exist already.
bool intermediates_fit(const EncoderConfig& config) {
  const std::uint64_t s = config.sequence;
  return (!heads_have_columns(config) || list_fits(s, s)) && list_fits(s, config.feed_forward);
}

// The layer's temporaries, cut from one workspace list: the normalised rows
// (later the attention context, later the second normalisation), q, k and v,
// one head's scores, the projection (later the feed-forward output), and one
// block of the feed-forward activations.
struct Scratch {
  std::span<float> norm, q, k, v, scores, side, activations;
};

// Columns of the feed-forward activations computed, activated and consumed at
// a time: a multiple of every path's tile width and of the vector paths'
// 192-step panel depth, and a block of 128 rows (192 KiB) stays in the
// second-level cache between its product and the next.
constexpr std::uint64_t feed_forward_block = 384;

// Elements of the workspace's lists. For a layer whose input exists and whose
// intermediates fit, every list holds at most the most elements a
// std::vector<float> can (below 2^62), so their sum of seven cannot wrap.
struct ScratchSizes {
  std::uint64_t rows_by_hidden = 0;
  std::uint64_t scores = 0;
  std::uint64_t activations = 0;

  [[nodiscard]] std::uint64_t total() const { return 5 * rows_by_hidden + scores + activations; }
};

ScratchSizes scratch_sizes(const EncoderConfig& config) {
  const std::uint64_t s = config.sequence;
  return ScratchSizes{.rows_by_hidden = s * config.hidden,
                      .scores = heads_have_columns(config) ? s * s : 0,
                      .activations = s * std::min(config.feed_forward, feed_forward_block)};
}

Scratch cut_scratch(std::vector<float>& list, const ScratchSizes& sizes) {
  if (list.size() < sizes.total()) {
    list.resize(sizes.total());
  }
  std::span<float> rest(list);
  const auto take = [&rest](std::uint64_t count) {
    const std::span<float> part = rest.first(count);
    rest = rest.subspan(count);
    return part;
  };
  Scratch scratch;
  scratch.norm = take(sizes.rows_by_hidden);
  scratch.q = take(sizes.rows_by_hidden);
  scratch.k = take(sizes.rows_by_hidden);
  scratch.v = take(sizes.rows_by_hidden);
  scratch.side = take(sizes.rows_by_hidden);
  scratch.scores = take(sizes.scores);
  scratch.activations = take(sizes.activations);
  return scratch;
}

// output = left x right (rows x inner by inner x columns, right rows
// `right_stride` apart), every sum started at +0.0.
void product(detail::KernelPath path, std::span<const float> left, const float* right, std::size_t right_stride,
             std::span<float> output, std::size_t rows, std::size_t inner, std::size_t columns) {
  std::ranges::fill(output, 0.0F);
  detail::matmul_accumulate(path, detail::MatrixView{.data = left.data(), .row_stride = inner},
                            detail::MatrixView{.data = right, .row_stride = right_stride}, output.data(), columns,
                            rows, inner, columns);
}

// Scaled dot-product attention of every head, written into `context` at the
// head's columns. Columns past heads x head_size are left as they are. The
// score of (row, column) sums over the head's columns in ascending order, the
// context value of (row, inner) over key positions in ascending order; both
// are matrix products with strided operands, so they run on the blocked path.
void attend(detail::KernelPath path, const EncoderConfig& config, const Scratch& scratch, std::span<float> context) {
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

  const std::span<float> scores = scratch.scores;
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    const std::uint64_t offset = head * head_size;
    std::ranges::fill(scores, 0.0F);
    // The right operand is k transposed: element (inner, column) lies at
    // column x h + offset + inner.
    detail::matmul_accumulate(
        path, detail::MatrixView{.data = scratch.q.data() + offset, .row_stride = h},
        detail::MatrixView{.data = scratch.k.data() + offset, .row_stride = 1, .column_stride = h}, scores.data(), s,
        s, head_size, s);
    for (float& score : scores) {
      score = score / scale_divisor;
    }

    detail::softmax_rows_with(path, scores, s, s);

    detail::matmul_accumulate(path, detail::MatrixView{.data = scores.data(), .row_stride = s},
                              detail::MatrixView{.data = scratch.v.data() + offset, .row_stride = h},
                              context.data() + offset, h, s, s, head_size);
  }
}

// down = GELU(norm x w1) x w2, a block of activation columns at a time. Each
// down element takes its products in ascending feed-forward order across the
// blocks, as one product would: every block continues the sums the one
// before it left.
void feed_forward(detail::KernelPath path, const EncoderConfig& config, const EncoderWeights& weights,
                  std::span<const float> norm, std::span<float> activations, std::span<float> down) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  std::ranges::fill(down, 0.0F);
  for (std::uint64_t first = 0; first < f; first += feed_forward_block) {
    const std::uint64_t width = std::min(feed_forward_block, f - first);
    const std::span<float> block = activations.first(s * width);
    product(path, norm, weights.w1.data() + first, f, block, s, h, width);
    detail::gelu_with(path, block, block);
    detail::matmul_accumulate(path, detail::MatrixView{.data = block.data(), .row_stride = width},
                              detail::MatrixView{.data = weights.w2.data() + first * h, .row_stride = h},
                              down.data(), h, s, width, h);
  }
}

// Element-wise sum of two lists of equal length, in order, into `sum` (which
// may be either of them).
void add(std::span<const float> left, std::span<const float> right, std::span<float> sum) {
  for (std::size_t i = 0; i < sum.size(); ++i) {
    sum[i] = left[i] + right[i];
  }
}

// The checks of encoder_reference in their order, then the workspace's
// sizes; nullopt sizes for a layer without elements, which has nothing to do.
Result<std::optional<ScratchSizes>> check_layer(const EncoderConfig& config, std::span<const float> input,
                                                const EncoderWeights& weights, std::size_t output_size) {
  const std::optional<std::uint64_t> input_count = checked_mul(config.sequence, config.hidden);
  if (!input_count || input.size() != *input_count) {
    return std::unexpected(CompileError::graph("encoder input size mismatch"));
  }
  if (output_size != input.size()) {
    return std::unexpected(CompileError::graph("encoder output size mismatch"));
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
    return std::optional<ScratchSizes>{};
  }
  if (!intermediates_fit(config) || scratch_sizes(config).total() > std::vector<float>().max_size()) {
    return std::unexpected(CompileError::graph("encoder dimensions too large"));
  }
  return scratch_sizes(config);
}

// The layer on checked arguments with elements.
void run_layer(detail::KernelPath path, const EncoderConfig& config, std::span<const float> input,
               const EncoderWeights& weights, const ScratchSizes& sizes, EncoderWorkspace& workspace,
               std::span<float> output) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const Scratch scratch = cut_scratch(workspace.scratch, sizes);

  detail::layer_norm_with(path, input, scratch.norm, s, h, layer_norm_epsilon);
  product(path, scratch.norm, weights.wq.data(), h, scratch.q, s, h, h);
  product(path, scratch.norm, weights.wk.data(), h, scratch.k, s, h, h);
  product(path, scratch.norm, weights.wv.data(), h, scratch.v, s, h, h);

  const std::span<float> context = scratch.norm;
  std::ranges::fill(context, 0.0F);
  attend(path, config, scratch, context);

  // output holds the first residual sum from here on; the input is not read
  // again, so output may be the input itself.
  product(path, context, weights.wo.data(), h, scratch.side, s, h, h);
  add(input, scratch.side, output);

  detail::layer_norm_with(path, output, scratch.norm, s, h, layer_norm_epsilon);
  feed_forward(path, config, weights, scratch.norm, scratch.activations, scratch.side);
  add(output, scratch.side, output);
}

bool overlap(std::span<const float> a, std::span<const float> b) {
  const std::less<const float*> before;
  return !a.empty() && !b.empty() && before(a.data(), b.data() + b.size()) && before(b.data(), a.data() + a.size());
}

// The caller's output may be the input itself, which the layer reads before
// it writes there, but no other list the call reads or resizes: it would read
// values the layer has already overwritten, or write into freed storage. Nor
// may the input lie in the workspace, whose list the call may reallocate.
Result<void> check_output_apart(std::span<const float> input, const EncoderWeights& weights,
                                const EncoderWorkspace& workspace, std::span<const float> output) {
  const bool is_input = output.data() == input.data() && output.size() == input.size();
  if (!is_input && overlap(output, input)) {
    return std::unexpected(CompileError::graph("encoder output overlaps input"));
  }
  for (const std::vector<float>* matrix :
       {&weights.wq, &weights.wk, &weights.wv, &weights.wo, &weights.w1, &weights.w2}) {
    if (overlap(output, *matrix)) {
      return std::unexpected(CompileError::graph("encoder output overlaps weights"));
    }
  }
  if (overlap(output, workspace.scratch)) {
    return std::unexpected(CompileError::graph("encoder output overlaps workspace"));
  }
  if (overlap(input, workspace.scratch)) {
    return std::unexpected(CompileError::graph("encoder input overlaps workspace"));
  }
  return {};
}

}  // namespace

namespace detail {

Result<void> encoder_reference_with(KernelPath path, EncoderConfig config, std::span<const float> input,
                                    const EncoderWeights& weights, EncoderWorkspace& workspace,
                                    std::span<float> output) {
  const Result<std::optional<ScratchSizes>> sizes = check_layer(config, input, weights, output.size());
  if (!sizes) {
    return std::unexpected(sizes.error());
  }
  if (const Result<void> apart = check_output_apart(input, weights, workspace, output); !apart) {
    return apart;
  }
  if (sizes->has_value()) {
    run_layer(path, config, input, weights, **sizes, workspace, output);
  }
  return {};
}

Result<std::vector<float>> encoder_reference_with(KernelPath path, EncoderConfig config, std::span<const float> input,
                                                  const EncoderWeights& weights) {
  // The output is as long as a valid input; nothing is allocated before the
  // checks have passed.
  const Result<std::optional<ScratchSizes>> sizes = check_layer(config, input, weights, input.size());
  if (!sizes) {
    return std::unexpected(sizes.error());
  }
  std::vector<float> output(input.size());
  if (sizes->has_value()) {
    EncoderWorkspace workspace;
    run_layer(path, config, input, weights, **sizes, workspace, output);
  }
  return output;
}

}  // namespace detail

Result<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                             const EncoderWeights& weights) {
  return detail::encoder_reference_with(detail::best_path(), config, input, weights);
}

Result<void> encoder_reference(EncoderConfig config, std::span<const float> input, const EncoderWeights& weights,
                               EncoderWorkspace& workspace, std::span<float> output) {
  return detail::encoder_reference_with(detail::best_path(), config, input, weights, workspace, output);
}

}  // namespace orvo_compiler
