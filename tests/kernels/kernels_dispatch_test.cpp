// Every kernel path this processor can run against the plain loops of
// kernels_oracle.hpp: hand-worked products, strided and continued sums, random
// matrices salted with NaN, infinities, signed zeros and subnormals, and whole
// encoder layers.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "kernels/kernels_dispatch.hpp"
#include "kernels_oracle.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/kernels.hpp"
#include "support/random.hpp"

namespace orvo_compiler::detail {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// Equal bits, except that any NaN matches any NaN: when two NaN operands meet,
// x86 passes on the one in the first operand position, and a compiler may put
// either operand of a commutative add there. Every other value, signed zeros
// and subnormals included, must agree bit for bit.
::testing::AssertionResult same_values(const std::vector<float>& expected, const std::vector<float>& actual) {
  if (expected.size() != actual.size()) {
    return ::testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size();
  }
  std::size_t mismatches = 0;
  std::string first;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto want = std::bit_cast<std::uint32_t>(expected[i]);
    const auto got = std::bit_cast<std::uint32_t>(actual[i]);
    if (want == got || (std::isnan(expected[i]) && std::isnan(actual[i]))) {
      continue;
    }
    if (mismatches++ == 0) {
      first =
          "element " + std::to_string(i) + ": expected bits " + std::to_string(want) + ", got " + std::to_string(got);
    }
  }
  if (mismatches == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << mismatches << " of " << expected.size() << " differ; first " << first;
}

// Deterministic values from the standard's fully specified Mersenne twister.
class Values {
 public:
  explicit Values(std::uint32_t seed) : random_(seed) {}

  // A normal float of moderate size, either sign.
  float ordinary() {
    const std::uint32_t word = next();
    const std::uint32_t exponent = 112 + word % 24;  // 2^-15 .. 2^8
    return std::bit_cast<float>((word & 0x80000000U) | (exponent << 23) | (next() & 0x007FFFFFU));
  }

  // One of the values that IEEE arithmetic treats specially, or a value whose
  // products overflow or fall below the normal range.
  float special() {
    const std::uint32_t word = next();
    const std::uint32_t sign = word & 0x80000000U;
    switch (word % 8) {
      case 0:
        return std::bit_cast<float>(sign | 0x7FC00000U | (next() & 0x003FFFFFU));  // quiet NaN with a payload
      case 1:
        return std::bit_cast<float>(sign | 0x7F800000U);  // infinity
      case 2:
        return std::bit_cast<float>(sign);  // signed zero
      case 3:
        return std::bit_cast<float>(sign | (next() & 0x007FFFFFU));  // subnormal or zero
      case 4:
        return std::bit_cast<float>(sign | ((1 + next() % 16) << 23) | (next() & 0x007FFFFFU));  // tiny normal
      case 5:
        return std::bit_cast<float>(sign | ((230 + next() % 24) << 23) | (next() & 0x007FFFFFU));  // huge
      case 6:
        return std::bit_cast<float>(sign | 0x00000001U);  // smallest subnormal
      default:
        return std::bit_cast<float>(sign | 0x7F7FFFFFU);  // largest finite
    }
  }

  // `count` values of either sign with magnitudes in [2^lowest, 2^(lowest + binades)).
  std::vector<float> binades(std::size_t count, int lowest, std::uint32_t binades) {
    const auto biased = static_cast<std::uint32_t>(lowest + 127);
    std::vector<float> values(count);
    for (float& value : values) {
      const std::uint32_t word = next();
      value = std::bit_cast<float>((word & 0x807FFFFFU) | ((biased + (word >> 23) % binades) << 23));
    }
    return values;
  }

  // `count` values, about one in `one_in` of them special.
  std::vector<float> matrix(std::size_t count, std::uint32_t one_in) {
    std::vector<float> values(count);
    for (float& value : values) {
      value = next() % one_in == 0 ? special() : ordinary();
    }
    return values;
  }

 private:
  std::uint32_t next() { return random_.next32(); }

  test_support::BasicRandom<std::mt19937> random_;
};

TEST(KernelPaths, PortableFirstAndBestLast) {
  const std::vector<KernelPath> paths = available_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths.front(), KernelPath::Portable);
  EXPECT_EQ(paths.back(), best_path());
  for (const KernelPath path : paths) {
    RecordProperty(std::string(path_name(path)), "available");
  }
}

TEST(KernelPaths, HandWorkedProducts) {
  const float a = 1.0F + 0x1p-12F;
  struct Case {
    const char* name;
    std::vector<float> left;
    std::vector<float> right;
    std::uint64_t rows;
    std::uint64_t inner;
    std::uint64_t columns;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"integers", {1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}, 2, 3, 2, {58, 64, 139, 154}},
      // Ascending order loses the 1 in 1e8 + 1 before -1e8 arrives.
      {"ascending order", {1.0F, 1e8F, -1e8F}, {1.0F, 1.0F, 1.0F}, 1, 3, 1, {0.0F}},
      // (1 + 2^-12)^2 rounds to 1 + 2^-11 before -1 is added: 2^-11, not 2^-11 + 2^-24.
      {"rounded products", {1.0F, a}, {-1.0F, a}, 1, 2, 1, {0x1p-11F}},
      // -0 x 1 = -0, and -0 + the starting +0 is +0.
      {"negative zero product", {-0.0F}, {1.0F}, 1, 1, 1, {0.0F}},
      {"overflowing product", {1e30F}, {1e30F}, 1, 1, 1, {inf}},
      {"infinity times zero", {inf}, {0.0F}, 1, 1, 1, {nan}},
      {"opposite infinities", {inf, -inf}, {1.0F, 1.0F}, 1, 2, 1, {nan}},
      // 2^-75 x 2^-75 = 2^-150 is half the smallest subnormal and rounds to
      // even (+0); 2^-74 x 2^-75 is exactly the smallest subnormal.
      {"subnormal products", {0x1p-75F, 0x1p-74F}, {0x1p-75F}, 2, 1, 1, {0.0F, 0x1p-149F}},
      {"inner 0", {}, {}, 2, 0, 3, {0, 0, 0, 0, 0, 0}},
      {"rows 0", {}, {1, 2}, 0, 2, 1, {}},
      {"columns 0", {1, 2}, {}, 1, 2, 0, {}},
      // Values past the counted prefixes are never read.
      {"longer lists", {2, 3, nan, inf}, {5, 7, nan}, 1, 2, 1, {31}},
  };
  for (const KernelPath path : available_paths()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(path_name(path)) + ": " + c.name);
      EXPECT_TRUE(same_values(c.expected, matmul_with(path, c.left, c.right, c.rows, c.inner, c.columns)));
    }
  }
}

TEST(KernelPaths, RandomMatricesMatchTheOracle) {
  struct Case {
    std::uint64_t rows;
    std::uint64_t inner;
    std::uint64_t columns;
    std::uint32_t special_one_in;
  };
  // Shapes below, at and past every path's tile and panel sizes, and with
  // specials dense enough that NaN, infinity and zero products meet often.
  const Case cases[] = {
      {1, 1, 1, 3},     {3, 2, 5, 2},      {7, 13, 37, 4},     {8, 192, 48, 200},  {9, 193, 49, 300}, {3, 192, 32, 200},
      {4, 256, 8, 300}, {5, 257, 9, 300},  {16, 400, 97, 800}, {25, 600, 70, 900}, {40, 9, 130, 6},   {64, 64, 64, 100},
      {17, 3, 65, 1},   {128, 40, 48, 80}, {2, 1000, 3, 5000}, {5, 31, 100, 1000},
  };
  Values values(20240611);
  for (const Case& c : cases) {
    const std::vector<float> left = values.matrix(c.rows * c.inner, c.special_one_in);
    const std::vector<float> right = values.matrix(c.inner * c.columns, c.special_one_in);
    const std::vector<float> expected = oracle::matmul(left, right, c.rows, c.inner, c.columns);
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(std::string(path_name(path)) + " " + std::to_string(c.rows) + "x" + std::to_string(c.inner) + "x" +
                   std::to_string(c.columns));
      EXPECT_TRUE(same_values(expected, matmul_with(path, left, right, c.rows, c.inner, c.columns)));
    }
  }
}

TEST(KernelPaths, SubnormalSumsMatchTheOracle) {
  // Every value has magnitude in [2^-70, 2^-69), every product lies below the
  // normal range, and so does every sum of 300 of them: a path that flushed
  // subnormals to zero would give zeros, one that kept extra range other bits.
  Values values(7);
  constexpr std::uint64_t rows = 19;
  constexpr std::uint64_t inner = 300;
  constexpr std::uint64_t columns = 35;
  const std::vector<float> left = values.binades(rows * inner, -70, 1);
  const std::vector<float> right = values.binades(inner * columns, -70, 1);
  const std::vector<float> expected = oracle::matmul(left, right, rows, inner, columns);
  std::size_t nonzero = 0;
  for (const float value : expected) {
    nonzero += value != 0.0F && std::fpclassify(value) == FP_SUBNORMAL ? 1U : 0U;
  }
  ASSERT_GT(nonzero, expected.size() / 2);
  for (const KernelPath path : available_paths()) {
    SCOPED_TRACE(path_name(path));
    EXPECT_TRUE(same_values(expected, matmul_with(path, left, right, rows, inner, columns)));
  }
}

TEST(KernelPaths, StridedOperandsContinueExistingSums) {
  // left is columns 2..2+inner of a wider matrix, right is the transpose of a
  // stored matrix, and the output block sits inside a wider matrix whose
  // values the products continue; everything outside the block stays as it was.
  constexpr std::size_t rows = 14;
  constexpr std::size_t inner = 270;
  constexpr std::size_t columns = 37;
  constexpr std::size_t left_width = inner + 5;
  constexpr std::size_t output_width = columns + 3;
  Values values(99);
  const std::vector<float> left_store = values.matrix(rows * left_width, 400);
  const std::vector<float> right_store = values.matrix(columns * inner, 400);  // columns x inner, row-major
  const std::vector<float> start = values.matrix(rows * output_width, 8);

  std::vector<float> expected = start;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      float sum = expected[r * output_width + 1 + c];
      for (std::size_t k = 0; k < inner; ++k) {
        sum = (left_store[r * left_width + 2 + k] * right_store[c * inner + k]) + sum;
      }
      expected[r * output_width + 1 + c] = sum;
    }
  }
  for (const KernelPath path : available_paths()) {
    SCOPED_TRACE(path_name(path));
    std::vector<float> output = start;
    matmul_accumulate(path, MatrixView{.data = left_store.data() + 2, .row_stride = left_width},
                      MatrixView{.data = right_store.data(), .row_stride = 1, .column_stride = inner},
                      output.data() + 1, output_width, rows, inner, columns);
    EXPECT_TRUE(same_values(expected, output));
  }
}

// Random weights of every list, each value in [2^-9, 2^-5) with either sign,
// so that scores neither vanish nor saturate the softmax.
EncoderWeights random_weights(Values& values, const EncoderConfig& config) {
  const std::size_t h = config.hidden;
  const std::size_t f = config.feed_forward;
  return EncoderWeights{.wq = values.binades(h * h, -9, 4),
                        .wk = values.binades(h * h, -9, 4),
                        .wv = values.binades(h * h, -9, 4),
                        .wo = values.binades(h * h, -9, 4),
                        .w1 = values.binades(h * f, -9, 4),
                        .w2 = values.binades(f * h, -9, 4)};
}

TEST(KernelPaths, EncoderLayersMatchTheOracle) {
  struct Case {
    EncoderConfig config;
    std::uint32_t special_one_in;
    bool random_weights;
  };
  const Case cases[] = {
      {{4, 8, 2, 16}, 1000000, false},
      {{32, 64, 4, 256}, 1000000, false},
      {{32, 64, 4, 256}, 1000000, true},
      // Heads that do not divide the width, and a feed-forward width past
      // one panel depth.
      {{13, 30, 4, 300}, 1000000, true},
      {{20, 48, 3, 520}, 1000000, false},
      // Heads of 64 columns, as in the larger layers.
      {{16, 192, 3, 384}, 1000000, true},
      // A few infinities and NaN in the input poison whole rows.
      {{9, 24, 2, 40}, 50, true},
  };
  Values values(31337);
  for (const Case& c : cases) {
    const EncoderConfig& config = c.config;
    const std::vector<float> input = values.matrix(config.sequence * config.hidden, c.special_one_in);
    const EncoderWeights weights =
        c.random_weights ? random_weights(values, config) : EncoderWeights::deterministic(config);
    const std::vector<float> expected = oracle::encoder_reference(config, input, weights);
    if (std::all_of(input.begin(), input.end(), [](float value) { return std::isfinite(value); })) {
      // Finite inputs keep every stage finite, so the comparison below is
      // not merely NaN against NaN.
      ASSERT_TRUE(std::all_of(expected.begin(), expected.end(), [](float value) { return std::isfinite(value); }));
    }
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(fmt::format("{} sequence {} hidden {} heads {} feed_forward {}{}", path_name(path), config.sequence,
                               config.hidden, config.heads, config.feed_forward,
                               c.random_weights ? " random weights" : ""));
      const Result<std::vector<float>> result = encoder_reference_with(path, config, input, weights);
      ASSERT_TRUE(result.has_value()) << result.error();
      EXPECT_TRUE(same_values(expected, *result));
    }
  }
}

TEST(KernelPaths, SelfCheckLayerMatchesTheOracle) {
  const EncoderConfig config{4, 8, 2, 16};
  std::vector<float> input;
  for (int i = 0; i < 32; ++i) {
    input.push_back((static_cast<float>(i) - 9.0F) / 16.0F);
  }
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> expected = oracle::encoder_reference(config, input, weights);
  for (const KernelPath path : available_paths()) {
    SCOPED_TRACE(path_name(path));
    const Result<std::vector<float>> result = encoder_reference_with(path, config, input, weights);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_TRUE(same_values(expected, *result));
  }
}

TEST(KernelPaths, PublicEntriesMatchTheOracle) {
  const EncoderConfig config{16, 32, 4, 64};
  Values values(5);
  const std::vector<float> left = values.matrix(24 * 50, 60);
  const std::vector<float> right = values.matrix(50 * 40, 60);
  EXPECT_TRUE(same_values(oracle::matmul(left, right, 24, 50, 40), matmul(left, right, 24, 50, 40)));

  const std::vector<float> input = values.matrix(config.sequence * config.hidden, 1000000);
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const Result<std::vector<float>> result = encoder_reference(config, input, weights);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_TRUE(same_values(oracle::encoder_reference(config, input, weights), *result));
}

TEST(KernelPathsDeathTest, ShortListsStopOnEveryPath) {
  const std::vector<float> three(3, 1.0F);
  for (const KernelPath path : available_paths()) {
    SCOPED_TRACE(path_name(path));
    EXPECT_DEATH((void)matmul_with(path, three, three, 2, 2, 1), "left holds fewer than rows x inner");
    EXPECT_DEATH((void)matmul_with(path, three, three, 1, 2, 2), "right holds fewer than inner x columns");
  }
}

}  // namespace
}  // namespace orvo_compiler::detail
