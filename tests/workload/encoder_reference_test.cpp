// The host encoder evaluator: the self-check sum, repeatability, heads that do
// not divide the width, empty inputs and every rejected argument, including
// layers too large to evaluate; the call with a caller's workspace and output.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvo_compiler/encoder.hpp"
#include "support/unreadable_floats.hpp"

namespace orvo_compiler {
namespace {

// The 4 x 8 self-check input: element i is (i - 9) / 16.
std::vector<float> ramp_input() {
  std::vector<float> input;
  for (int i = 0; i < 32; ++i) {
    input.push_back((static_cast<float>(i) - 9.0F) / 16.0F);
  }
  return input;
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> out;
  for (const float value : values) {
    out.push_back(std::bit_cast<std::uint32_t>(value));
  }
  return out;
}

float in_order_sum(const std::vector<float>& values) {
  float sum = 0.0F;
  for (const float value : values) {
    sum = sum + value;
  }
  return sum;
}

TEST(EncoderReference, SelfCheckCase) {
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> input = ramp_input();
  const Result<std::vector<float>> first = encoder_reference(config, input, weights);
  const Result<std::vector<float>> second = encoder_reference(config, input, weights);
  ASSERT_TRUE(first.has_value()) << first.error();
  ASSERT_TRUE(second.has_value()) << second.error();
  ASSERT_EQ(first->size(), 32U);
  for (const float value : *first) {
    EXPECT_TRUE(std::isfinite(value)) << value;
  }
  EXPECT_EQ(bits(*first), bits(*second));
  const float sum = in_order_sum(*first);
  // 107.4642333984375 with correctly rounded exp and tanh, which the kernels
  // use; that value is a float (0x42D6EDB0), and the sum must be exactly it.
  EXPECT_NEAR(sum, 107.4642333984375F, 1e-4F) << fmt::format("{}", sum);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(sum), 0x42D6EDB0U) << fmt::format("{}", sum);
  RecordProperty("output_sum", fmt::format("{}", sum));
  // The first output row begins 17.354069, 8.073391, 5.5447779, -26.392069.
  EXPECT_NEAR((*first)[0], 17.354069F, 1e-5F);
  EXPECT_NEAR((*first)[3], -26.392069F, 1e-5F);
}

TEST(EncoderReference, HeadsNotDividingHiddenLeaveContextColumnsZero) {
  // Eight columns and three heads of two: context columns 6 and 7 stay zero,
  // so rows 6 and 7 of wo cannot reach the result.
  const EncoderConfig config{4, 8, 3, 16};
  EncoderWeights weights = EncoderWeights::deterministic(config);
  const Result<std::vector<float>> plain = encoder_reference(config, ramp_input(), weights);
  ASSERT_TRUE(plain.has_value()) << plain.error();
  for (std::size_t i = 48; i < 64; ++i) {
    weights.wo[i] = 1000.0F;
  }
  const Result<std::vector<float>> changed = encoder_reference(config, ramp_input(), weights);
  ASSERT_TRUE(changed.has_value()) << changed.error();
  EXPECT_EQ(bits(*plain), bits(*changed));
  EXPECT_NEAR(in_order_sum(*plain), 22.207258F, 1e-4F);
}

TEST(EncoderReference, EmptySequenceGivesEmptyResult) {
  const EncoderConfig config{0, 8, 2, 16};
  const Result<std::vector<float>> result =
      encoder_reference(config, std::vector<float>{}, EncoderWeights::deterministic(config));
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_TRUE(result->empty());
}

// Degenerate dimensions that once spun for hours or stopped the process: a
// layer with no elements, and more heads than hidden columns (such heads have
// no columns and leave the context at zero, like heads = hidden + 1 does).
TEST(EncoderReference, DegenerateDimensionsComeBackAtOnce) {
  constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  const std::vector<float> none;
  for (const EncoderConfig config : {EncoderConfig{huge, 0, 8, 69}, EncoderConfig{9, 0, std::uint64_t{1} << 31, 0},
                                     EncoderConfig{huge, 0, huge, huge}}) {
    SCOPED_TRACE(fmt::format("{} {} {} {}", config.sequence, config.hidden, config.heads, config.feed_forward));
    const Result<std::vector<float>> result = encoder_reference(config, none, EncoderWeights{});
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_TRUE(result->empty());
  }

  const EncoderConfig few_heads{2, 3, 4, 2};
  const EncoderConfig many_heads{2, 3, std::uint64_t{1} << 40, 2};
  const EncoderWeights weights = EncoderWeights::deterministic(few_heads);
  const std::vector<float> input{0.5F, -1.0F, 2.0F, 0.25F, 3.0F, -0.75F};
  const Result<std::vector<float>> expected = encoder_reference(few_heads, input, weights);
  const Result<std::vector<float>> actual = encoder_reference(many_heads, input, weights);
  ASSERT_TRUE(expected.has_value() && actual.has_value());
  ASSERT_EQ(actual->size(), 6U);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>((*actual)[i]), std::bit_cast<std::uint32_t>((*expected)[i])) << i;
  }
}

// One workspace serving layers of every size in turn, smaller after larger
// and larger again, gives each the bits of the call without one; so does
// writing the output over the input.
TEST(EncoderReference, WorkspaceCallsEqualPlainCalls) {
  const EncoderConfig configs[] = {
      {4, 8, 2, 16}, {32, 64, 4, 256}, {4, 8, 3, 16}, {13, 30, 4, 800}, {2, 3, 4, 2}, {32, 64, 4, 256}, {0, 8, 2, 16},
  };
  EncoderWorkspace workspace;
  for (const EncoderConfig& config : configs) {
    SCOPED_TRACE(fmt::format("{} {} {} {}", config.sequence, config.hidden, config.heads, config.feed_forward));
    std::vector<float> input;
    for (std::uint64_t i = 0; i < config.sequence * config.hidden; ++i) {
      input.push_back((static_cast<float>(i % 23) - 9.0F) / 16.0F);
    }
    const EncoderWeights weights = EncoderWeights::deterministic(config);
    const Result<std::vector<float>> expected = encoder_reference(config, input, weights);
    ASSERT_TRUE(expected.has_value()) << expected.error();

    std::vector<float> output(input.size(), 7.0F);
    const Result<void> written = encoder_reference(config, input, weights, workspace, output);
    ASSERT_TRUE(written.has_value()) << written.error();
    EXPECT_EQ(bits(output), bits(*expected));

    std::vector<float> in_place = input;
    const Result<void> overwritten = encoder_reference(config, in_place, weights, workspace, in_place);
    ASSERT_TRUE(overwritten.has_value()) << overwritten.error();
    EXPECT_EQ(bits(in_place), bits(*expected));
  }
}

TEST(EncoderReference, WorkspaceOutputOfAnotherSizeIsRejected) {
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> input = ramp_input();
  const std::vector<float> short_input(input.begin(), input.end() - 1);
  struct Case {
    const char* name;
    EncoderConfig config;
    std::vector<float> input;
    std::size_t output_size;
    const char* message;
  };
  const Case cases[] = {
      {"output one short", config, input, 31, "encoder output size mismatch"},
      {"output one long", config, input, 33, "encoder output size mismatch"},
      {"no output", config, input, 0, "encoder output size mismatch"},
      {"input checked before output", config, short_input, 31, "encoder input size mismatch"},
      {"output checked before heads", {4, 8, 0, 16}, input, 31, "encoder output size mismatch"},
      {"output of an empty layer", {0, 8, 2, 16}, {}, 1, "encoder output size mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderWorkspace workspace;
    std::vector<float> output(c.output_size, 7.0F);
    const Result<void> written = encoder_reference(c.config, c.input, weights, workspace, output);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), CompileError::graph(c.message));
    EXPECT_EQ(output, std::vector<float>(c.output_size, 7.0F));
  }
}

// An output that shares elements with a list the call reads or resizes
// (other than being the input itself) is refused before anything is written;
// so is an input inside the workspace's list.
TEST(EncoderReference, WorkspaceCallRefusesOverlappingLists) {
  const EncoderConfig config{4, 8, 2, 16};
  const std::size_t n = 32;
  struct Case {
    const char* name;
    std::size_t output_offset;  // in `storage`, where the input starts at 0
    bool output_in_weights;
    bool output_in_workspace;
    bool input_in_workspace;
    const char* message;
  };
  const Case cases[] = {
      {"output starts inside the input", 4, false, false, false, "encoder output overlaps input"},
      {"output right after the input", n, false, false, false, ""},  // adjacent, apart
      {"output inside w1", 0, true, false, false, "encoder output overlaps weights"},
      {"output inside the workspace", 0, false, true, false, "encoder output overlaps workspace"},
      {"input inside the workspace", n, false, false, true, "encoder input overlaps workspace"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderWeights weights = EncoderWeights::deterministic(config);
    EncoderWorkspace workspace;
    workspace.scratch.assign(2 * n, 7.0F);
    std::vector<float> storage(2 * n, 7.0F);
    std::ranges::copy(ramp_input(), storage.begin());
    std::span<float> input(storage.data(), n);
    std::span<float> output(storage.data() + c.output_offset, n);
    if (c.output_in_weights) {
      output = std::span<float>(weights.w1).subspan(8, n);
    }
    if (c.output_in_workspace) {
      output = std::span<float>(workspace.scratch).subspan(1, n);
    }
    if (c.input_in_workspace) {
      std::ranges::copy(ramp_input(), workspace.scratch.begin());
      input = std::span<float>(workspace.scratch).first(n);
    }
    const std::vector<float> before(output.begin(), output.end());
    const Result<void> written = encoder_reference(config, input, weights, workspace, output);
    if (*c.message == '\0') {
      ASSERT_TRUE(written.has_value()) << written.error();
      EXPECT_EQ(bits(std::vector<float>(output.begin(), output.end())), bits(*encoder_reference(config, ramp_input(),
                                                                                             weights)));
      continue;
    }
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), CompileError::graph(c.message));
    EXPECT_EQ(std::vector<float>(output.begin(), output.end()), before);
  }
}

TEST(EncoderReference, LongerWeightListsAreReadOnlyAsFarAsNeeded) {
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights exact = EncoderWeights::deterministic(config);
  EncoderWeights longer = exact;
  for (std::vector<float>* list : {&longer.wq, &longer.wk, &longer.wv, &longer.wo, &longer.w1, &longer.w2}) {
    list->push_back(std::nanf(""));
  }
  const Result<std::vector<float>> a = encoder_reference(config, ramp_input(), exact);
  const Result<std::vector<float>> b = encoder_reference(config, ramp_input(), longer);
  ASSERT_TRUE(a.has_value());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(bits(*a), bits(*b));
}

TEST(EncoderReference, RejectedArguments) {
  constexpr std::uint64_t big = std::uint64_t{1} << 32;
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> input = ramp_input();
  const std::vector<float> short_input(input.begin(), input.end() - 1);
  std::vector<float> long_input = input;
  long_input.push_back(0.0F);
  EncoderWeights short_w2 = weights;
  short_w2.w2.pop_back();

  struct Case {
    const char* name;
    EncoderConfig config;
    std::vector<float> input;
    EncoderWeights weights;
    const char* message;
  };
  const Case cases[] = {
      {"input one short", config, short_input, weights, "encoder input size mismatch"},
      {"input one long", config, long_input, weights, "encoder input size mismatch"},
      // 2^32 x 2^32 wraps to 0 in 64 bits; an empty input must not pass.
      {"input count overflows", {big, big, 1, 1}, {}, {}, "encoder input size mismatch"},
      {"heads 0", {4, 8, 0, 16}, input, weights, "invalid encoder dimensions"},
      {"input checked before heads", {4, 8, 0, 16}, short_input, weights, "encoder input size mismatch"},
      {"input checked before weights", config, short_input, short_w2, "encoder input size mismatch"},
      {"heads checked before weights", {4, 8, 0, 16}, input, short_w2, "invalid encoder dimensions"},
      {"no weights", config, input, {}, "encoder weights size mismatch"},
      {"weight count overflows", {0, big, 1, 1}, {}, {}, "encoder weights size mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<std::vector<float>> result = encoder_reference(c.config, c.input, c.weights);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), CompileError::graph(c.message));
    // The call with a workspace fails alike and leaves its output alone.
    EncoderWorkspace workspace;
    std::vector<float> output(c.input.size(), 7.0F);
    const Result<void> written = encoder_reference(c.config, c.input, c.weights, workspace, output);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), CompileError::graph(c.message));
    EXPECT_EQ(output, std::vector<float>(c.input.size(), 7.0F));
  }
}

// Layers whose input and weights exist but whose scores or activations no
// list can hold: an error, where the process once stopped (a wrapping
// sequence x sequence) or threw from the list's constructor. The input is
// address space only, so the refusal must come before any element is read.
TEST(EncoderReference, IntermediatesNoListCanHoldAreRefused) {
  struct Case {
    const char* name;
    EncoderConfig config;
  };
  const Case cases[] = {
      {"sequence x sequence past 64 bits", {std::uint64_t{1} << 33, 1, 1, 1}},
      {"sequence x sequence of 2^62 floats", {std::uint64_t{1} << 31, 1, 1, 1}},
      // Two heads over one column have no columns, so no scores are built;
      // the 2^42 x 2^20 activations still are.
      {"sequence x feed_forward of 2^62 floats", {std::uint64_t{1} << 42, 1, 2, std::uint64_t{1} << 20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test_support::UnreadableFloats input(c.config.sequence * c.config.hidden);
    if (input.floats().empty()) {
      GTEST_SKIP() << "cannot reserve " << c.config.sequence << " floats of address space";
    }
    const std::vector<float> square(c.config.hidden * c.config.hidden, 0.0F);
    std::vector<float> wide(c.config.hidden * c.config.feed_forward, 0.0F);
    const EncoderWeights weights{square, square, square, square, wide, std::move(wide)};
    const Result<std::vector<float>> result = encoder_reference(c.config, input.floats(), weights);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), CompileError::graph("encoder dimensions too large"));
  }
}

TEST(EncoderReference, EachShortWeightListIsRejected) {
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> input = ramp_input();
  using List = std::vector<float> EncoderWeights::*;
  for (const List list : {&EncoderWeights::wq, &EncoderWeights::wk, &EncoderWeights::wv, &EncoderWeights::wo,
                          &EncoderWeights::w1, &EncoderWeights::w2}) {
    EncoderWeights shortened = weights;
    (shortened.*list).pop_back();
    const Result<std::vector<float>> result = encoder_reference(config, input, shortened);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), CompileError::graph("encoder weights size mismatch"));
  }
}

}  // namespace
}  // namespace orvo_compiler
