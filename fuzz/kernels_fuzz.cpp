// The reference kernels and encoder layer on fuzzed sizes, list lengths and
// values. Every kernel path this processor runs must match the plain loops of
// the test oracle bit for bit (any NaN matching any NaN), and encoder_reference
// must report exactly the error its contract names for bad lengths or
// dimensions, huge ones included, and never stop the process. Kernel lists
// are always at least as long as the counts require: a shorter list is a
// broken precondition that stops the process by design.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "kernels/kernels_oracle.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/kernels.hpp"
#include "support/checked_math.hpp"
#include "support/unreadable_floats.hpp"

namespace {

using namespace orvo_compiler;

// Lists are never built longer than this; larger needs become short lists.
constexpr std::uint64_t max_list = 1 << 14;

bool same_bits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) {
    return true;
  }
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

void check_same(std::span<const float> expected, std::span<const float> actual, const std::string& what) {
  orvo_fuzz::check(expected.size() == actual.size(), what + ": lengths differ");
  for (std::size_t i = 0; i < expected.size(); ++i) {
    orvo_fuzz::check(same_bits(expected[i], actual[i]), what + ": element " + std::to_string(i) + " differs");
  }
}

std::vector<float> pick_floats(FuzzedDataProvider& data, std::uint64_t length) {
  std::vector<float> values(length);
  for (float& value : values) {
    value = data.remaining_bytes() == 0 ? 0.0F : orvo_fuzz::pick_float(data);
  }
  return values;
}

// The product a x b, or max_list + 1 when it exceeds max_list (or 64 bits).
std::uint64_t capped_product(std::uint64_t a, std::uint64_t b) {
  return std::min(detail::checked_mul(a, b).value_or(max_list + 1), max_list + 1);
}

// Whether `list` holds at least a x b elements (never for a product past 64 bits).
bool holds(std::span<const float> list, std::uint64_t a, std::uint64_t b) {
  const std::optional<std::uint64_t> count = detail::checked_mul(a, b);
  return count && list.size() >= *count;
}

// One huge count with the other two zero: no work, and no loop may run over
// the huge count. The plain loops of the oracle would, so only the result's
// emptiness is checked.
void fuzz_empty_work(FuzzedDataProvider& data) {
  std::array<std::uint64_t, 3> counts{};
  counts[data.ConsumeIntegralInRange<std::size_t>(0, 2)] = orvo_fuzz::pick_count(data, 1 << 20);
  const std::vector<float> none;
  for (const detail::KernelPath path : detail::available_paths()) {
    orvo_fuzz::check(detail::matmul_with(path, none, none, counts[0], counts[1], counts[2]).empty(),
                     "matmul of an empty product returns elements");
  }
  std::vector<float> values = pick_floats(data, data.ConsumeIntegralInRange<std::uint64_t>(0, 4));
  const std::vector<float> before = values;
  const std::vector<float> normalised = layer_norm(values, counts[0] + counts[2], 0, 1.0F);
  orvo_fuzz::check(normalised.size() == values.size(), "layer_norm of no columns changes the length");
  for (const float value : normalised) {
    orvo_fuzz::check(same_bits(value, 0.0F), "layer_norm of no columns writes a value");
  }
  softmax_rows(values, 0, counts[0] + counts[1]);
  check_same(before, values, "softmax_rows of no rows");
}

void fuzz_matmul(FuzzedDataProvider& data) {
  const auto rows = data.ConsumeIntegralInRange<std::uint64_t>(0, 20);
  const auto inner = data.ConsumeIntegralInRange<std::uint64_t>(0, 60);
  const auto columns = data.ConsumeIntegralInRange<std::uint64_t>(0, 100);
  const std::vector<float> left = pick_floats(data, rows * inner + data.ConsumeIntegralInRange<std::uint64_t>(0, 2));
  const std::vector<float> right = pick_floats(data, inner * columns + data.ConsumeIntegralInRange<std::uint64_t>(0, 2));
  const std::vector<float> expected = oracle::matmul(left, right, rows, inner, columns);
  check_same(expected, matmul(left, right, rows, inner, columns), "matmul");
  for (const detail::KernelPath path : detail::available_paths()) {
    check_same(expected, detail::matmul_with(path, left, right, rows, inner, columns),
               std::string("matmul on ") + std::string(detail::path_name(path)));
  }
}

void fuzz_rows(FuzzedDataProvider& data) {
  const auto rows = data.ConsumeIntegralInRange<std::uint64_t>(0, 8);
  const auto columns = data.ConsumeIntegralInRange<std::uint64_t>(0, 40);
  std::vector<float> values = pick_floats(data, rows * columns + data.ConsumeIntegralInRange<std::uint64_t>(0, 3));
  const float epsilon = orvo_fuzz::pick_float(data);
  check_same(oracle::layer_norm(values, rows, columns, epsilon), layer_norm(values, rows, columns, epsilon),
             "layer_norm");
  std::vector<float> expected = values;
  oracle::softmax_rows(expected, rows, columns);
  softmax_rows(values, rows, columns);
  check_same(expected, values, "softmax_rows");
  const float value = orvo_fuzz::pick_float(data);
  orvo_fuzz::check(same_bits(oracle::gelu(value), gelu(value)), "gelu");
}

std::uint64_t pick_dimension(FuzzedDataProvider& data) {
  return data.ConsumeIntegralInRange<int>(0, 7) == 0 ? orvo_fuzz::pick_count(data, 64)
                                                     : data.ConsumeIntegralInRange<std::uint64_t>(0, 8);
}

// A list for a need of `need` elements: usually exactly that long, sometimes
// one short or one long, never past max_list.
std::vector<float> pick_list(FuzzedDataProvider& data, std::uint64_t need) {
  std::uint64_t length = need > max_list ? data.ConsumeIntegralInRange<std::uint64_t>(0, 4) : need;
  switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      length = length == 0 ? 0 : length - 1;
      break;
    case 1:
      length = length + 1;
      break;
    default:
      break;
  }
  return pick_floats(data, length);
}

// Whether a list of a x b floats can exist at all.
bool list_fits(std::uint64_t a, std::uint64_t b) {
  const std::optional<std::uint64_t> count = detail::checked_mul(a, b);
  return count && *count <= std::vector<float>().max_size();
}

// The error encoder_reference's contract names for these arguments, in the
// order it checks them; empty for a valid layer.
std::string encoder_error(const EncoderConfig& config, std::span<const float> input, const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const std::optional<std::uint64_t> input_count = detail::checked_mul(s, h);
  if (!input_count || input.size() != *input_count) {
    return "encoder input size mismatch";
  }
  if (config.heads == 0) {
    return "invalid encoder dimensions";
  }
  if (!holds(weights.wq, h, h) || !holds(weights.wk, h, h) || !holds(weights.wv, h, h) || !holds(weights.wo, h, h) ||
      !holds(weights.w1, h, f) || !holds(weights.w2, f, h)) {
    return "encoder weights size mismatch";
  }
  // Scores (built when heads have columns) and activations no list can hold.
  if (!input.empty() && ((h >= config.heads && !list_fits(s, s)) || !list_fits(s, f))) {
    return "encoder dimensions too large";
  }
  return {};
}

void fuzz_encoder(FuzzedDataProvider& data) {
  EncoderConfig config;
  config.sequence = pick_dimension(data);
  config.hidden = pick_dimension(data);
  config.heads = pick_dimension(data);
  config.feed_forward = pick_dimension(data);
  const std::uint64_t sh = capped_product(config.sequence, config.hidden);
  const std::uint64_t hh = capped_product(config.hidden, config.hidden);
  const std::uint64_t hf = capped_product(config.hidden, config.feed_forward);
  const std::vector<float> input_list = pick_list(data, sh);
  EncoderWeights weights;
  for (std::vector<float>* matrix : {&weights.wq, &weights.wk, &weights.wv, &weights.wo}) {
    *matrix = pick_list(data, hh);
  }
  weights.w1 = pick_list(data, hf);
  weights.w2 = pick_list(data, hf);

  // An input too long to build may instead be address space of exactly
  // sequence x hidden floats that cannot be read: the layer must then be
  // refused from the lengths alone, never evaluated. (Decided last, so that
  // earlier inputs keep their meaning.)
  std::optional<test_support::UnreadableFloats> unreadable;
  if (sh > max_list && data.ConsumeBool()) {
    unreadable.emplace(detail::checked_mul(config.sequence, config.hidden).value_or(0));
  }
  const bool readable = !unreadable || unreadable->floats().empty();
  const std::span<const float> input = readable ? std::span<const float>(input_list) : unreadable->floats();

  const std::string expected_error = encoder_error(config, input, weights);
  // A valid layer with a long sequence is merely slow (sequence x sequence
  // scores per head); it teaches the fuzzer nothing. One on unreadable input
  // would stop at its first read.
  if (expected_error.empty() && (!readable || (!input.empty() && config.sequence > 512))) {
    return;
  }
  const Result<std::vector<float>> result = encoder_reference(config, input, weights);
  if (!expected_error.empty()) {
    orvo_fuzz::check(!result.has_value() && result.error() == CompileError::graph(expected_error),
                     "encoder_reference: expected " + expected_error + ", got " +
                         (result.has_value() ? std::string("a result") : orvo_fuzz::describe(result.error())));
    return;
  }
  orvo_fuzz::check(result.has_value(), "encoder_reference fails on valid input: " +
                                           (result.has_value() ? std::string() : orvo_fuzz::describe(result.error())));
  // The oracle loops over every head, allocates sequence x sequence scores
  // and sequence x feed_forward activations; it runs only where all are small
  // (an empty input may come with any feed_forward).
  const std::vector<float> expected = config.heads <= 64 && config.sequence <= 64 && !input.empty()
                                          ? oracle::encoder_reference(config, input, weights)
                                          : *result;
  check_same(expected, *result, "encoder_reference");
  for (const detail::KernelPath path : detail::available_paths()) {
    const Result<std::vector<float>> on_path = detail::encoder_reference_with(path, config, input, weights);
    orvo_fuzz::check(on_path.has_value(), "encoder_reference_with fails where encoder_reference succeeds");
    check_same(expected, *on_path, std::string("encoder_reference on ") + std::string(detail::path_name(path)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  switch (data.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
    case 1:
      fuzz_matmul(data);
      break;
    case 2:
      fuzz_empty_work(data);
      break;
    case 3:
      fuzz_rows(data);
      break;
    default:
      fuzz_encoder(data);
      break;
  }
  return 0;
}
