// Deterministic encoder weights: every element is a closed formula of its
// flat position and the matrix's salt, so no generator state or seed exists
// and equal configurations give bit-identical weights everywhere.
#include <cmath>
#include <string>
#include <string_view>

#include "support/checked_math.hpp"
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

// rows x columns values; element `index` is ((index x 17 + salt x 31) mod 101
// - 50) / sqrt(rows x 50). The numerators repeat every 101 elements and the
// scale depends on the row count only.
constexpr std::string_view count_overflows = "encoder weights: rows x columns overflows";

std::vector<float> matrix(std::uint64_t rows, std::uint64_t columns, std::uint64_t salt) {
  const std::uint64_t count = detail::required_product(rows, columns, count_overflows);
  std::vector<float> values;
  if (count == 0) {
    return values;
  }
  values.reserve(count);
  const float denominator = std::sqrt(static_cast<float>(rows) * 50.0F);
  for (std::uint64_t index = 0; index < count; ++index) {
    // Reducing the index first keeps the product exact for any index and
    // leaves the residue unchanged.
    const std::uint64_t v = ((index % 101) * 17 + salt * 31) % 101;
    const float numerator = static_cast<float>(v) + -50.0F;
    values.push_back(numerator / denominator);
  }
  return values;
}

}  // namespace

EncoderWeights EncoderWeights::deterministic(EncoderConfig config) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  EncoderWeights weights;
  weights.wq = matrix(h, h, 1);
  weights.wk = matrix(h, h, 2);
  weights.wv = matrix(h, h, 3);
  weights.wo = matrix(h, h, 4);
  weights.w1 = matrix(h, f, 5);
  weights.w2 = matrix(f, h, 6);
  return weights;
}

Result<EncoderWeights> EncoderWeights::try_deterministic(EncoderConfig config) {
  const std::uint64_t h = config.hidden;
  if (!detail::checked_mul(h, h) || !detail::checked_mul(h, config.feed_forward)) {
    return std::unexpected(CompileError::graph(std::string(count_overflows)));
  }
  return deterministic(config);
}

}  // namespace orvo_compiler
