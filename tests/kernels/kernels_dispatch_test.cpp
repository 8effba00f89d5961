// Every kernel path this processor can run against the plain loops of
// kernels_oracle.hpp: hand-worked products, strided and continued sums, random
// matrices salted with NaN, infinities, signed zeros and subnormals, the row
// kernels on row counts below, at and past every vector width, GELU at the
// thresholds of its steps, and whole encoder layers, with and without a
// workspace.
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
#include "kernels/kernels_rows.hpp"
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
      {17, 3, 65, 1},   {128, 40, 48, 80}, {2, 1000, 3, 5000}, {5, 31, 100, 1000}, {300, 450, 70, 600},
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
  // values the products continue; everything outside the block stays as it
  // was. With 140 rows the sums go through the depth blocks in two chunks of
  // rows, the second short.
  for (const std::size_t rows : {std::size_t{14}, std::size_t{140}}) {
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
      SCOPED_TRACE(fmt::format("{} {} rows", path_name(path), rows));
      std::vector<float> output = start;
      matmul_accumulate(path, MatrixView{.data = left_store.data() + 2, .row_stride = left_width},
                        MatrixView{.data = right_store.data(), .row_stride = 1, .column_stride = inner},
                        output.data() + 1, output_width, rows, inner, columns);
      EXPECT_TRUE(same_values(expected, output));
    }
  }
}

TEST(KernelPaths, ColumnBlocksOfAProductMatchTheOracle) {
  // A product computed as separate calls over blocks of whole tiles' columns
  // (as the prepared evaluation splits one over threads) gives the oracle's
  // bits, with the last block short, a single block, or exactly full, and so
  // does the same against its right matrix packed ahead into a buffer that
  // held other values.
  struct Case {
    std::uint64_t rows;
    std::uint64_t inner;
    std::uint64_t columns;
    std::size_t blocks_per_call;
  };
  const Case cases[] = {
      {9, 200, 101, 1}, {8, 192, 96, 1}, {13, 37, 250, 2}, {3, 5, 7, 1}, {20, 400, 160, 3}, {130, 400, 300, 2},
  };
  Values values(777);
  for (const Case& c : cases) {
    const std::vector<float> left = values.matrix(c.rows * c.inner, 300);
    const std::vector<float> right = values.matrix(c.inner * c.columns, 300);
    const std::vector<float> expected = oracle::matmul(left, right, c.rows, c.inner, c.columns);
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(fmt::format("{} {}x{}x{} by {}", path_name(path), c.rows, c.inner, c.columns, c.blocks_per_call));
      const std::size_t step = matmul_column_step(path) * c.blocks_per_call;
      ASSERT_GT(step, 0U);
      std::vector<float> output(c.rows * c.columns, 0.0F);
      for (std::size_t first = 0; first < c.columns; first += step) {
        const std::size_t count = std::min<std::size_t>(step, c.columns - first);
        matmul_accumulate(path, MatrixView{.data = left.data(), .row_stride = c.inner},
                          MatrixView{.data = right.data() + first, .row_stride = c.columns}, output.data() + first,
                          c.columns, c.rows, c.inner, count);
      }
      EXPECT_TRUE(same_values(expected, output));

      // The same blocks against the right matrix packed once ahead.
      std::vector<float> packed(packed_right_floats(path, c.inner, c.columns), -1.0F);
      pack_right_matrix(path, MatrixView{.data = right.data(), .row_stride = c.columns}, c.inner, c.columns,
                        packed.data());
      std::vector<float> from_packed(c.rows * c.columns, 0.0F);
      for (std::size_t first = 0; first < c.columns; first += step) {
        const std::size_t count = std::min<std::size_t>(step, c.columns - first);
        matmul_accumulate_packed(path, MatrixView{.data = left.data(), .row_stride = c.inner},
                                 packed.data() + first * c.inner, from_packed.data() + first, c.columns, c.rows,
                                 c.inner, count);
      }
      EXPECT_TRUE(same_values(expected, from_packed));
    }
  }
}

TEST(KernelPaths, ProductsFromZeroNeverReadTheOutput) {
  // With SumStart::Zero an output full of NaN still receives the oracle's
  // product, packed ahead or not: column counts that leave a narrow last
  // panel (one lane, one register and a bit, two registers), depths of one
  // panel, several and none. Packed ahead with more rows than columns, the
  // tiles run depth block by depth block (several panels of columns in the
  // last case).
  struct Case {
    std::uint64_t rows;
    std::uint64_t inner;
    std::uint64_t columns;
  };
  const Case cases[] = {{9, 200, 49}, {8, 1, 17}, {5, 400, 100}, {3, 0, 7}, {17, 193, 1}, {16, 64, 50}, {100, 300, 97}};
  Values values(4242);
  const float quiet_nan = std::numeric_limits<float>::quiet_NaN();
  for (const Case& c : cases) {
    const std::vector<float> left = values.matrix(c.rows * c.inner, 300);
    const std::vector<float> right = values.matrix(c.inner * c.columns, 300);
    const std::vector<float> expected = oracle::matmul(left, right, c.rows, c.inner, c.columns);
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(fmt::format("{} {}x{}x{}", path_name(path), c.rows, c.inner, c.columns));
      std::vector<float> output(c.rows * c.columns, quiet_nan);
      matmul_accumulate(path, MatrixView{.data = left.data(), .row_stride = c.inner},
                        MatrixView{.data = right.data(), .row_stride = c.columns}, output.data(), c.columns, c.rows,
                        c.inner, c.columns, SumStart::Zero);
      EXPECT_TRUE(same_values(expected, output));
      std::vector<float> packed(packed_right_floats(path, c.inner, c.columns));
      pack_right_matrix(path, MatrixView{.data = right.data(), .row_stride = c.columns}, c.inner, c.columns,
                        packed.data());
      std::ranges::fill(output, quiet_nan);
      matmul_accumulate_packed(path, MatrixView{.data = left.data(), .row_stride = c.inner}, packed.data(),
                               output.data(), c.columns, c.rows, c.inner, c.columns, SumStart::Zero);
      EXPECT_TRUE(same_values(expected, output));
    }
  }
}

// The first `count` values of `values` followed by the rest of `tail`: a
// kernel's output over a list whose positions past its counts it must leave.
std::vector<float> with_tail(const std::vector<float>& values, std::size_t count, const std::vector<float>& tail) {
  std::vector<float> result(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(count));
  result.insert(result.end(), tail.begin() + static_cast<std::ptrdiff_t>(count), tail.end());
  return result;
}

struct RowsCase {
  std::uint64_t rows;
  std::uint64_t columns;
  std::uint32_t special_one_in;
};

// Row counts below, at and past 4, 8 and 16 lanes (the padding lanes of a
// last block repeat its last row); columns from 1 to a BERT-base width; and
// specials dense enough that many rows meet NaN or an infinity.
constexpr RowsCase rows_cases[] = {
    {1, 1, 1000},  {1, 5, 1000},  {3, 7, 1000},   {4, 16, 1000},  {5, 17, 1000}, {8, 3, 4},
    {9, 9, 6},     {15, 31, 50},  {16, 64, 1000}, {17, 33, 40},   {31, 2, 3},    {33, 768, 2000},
    {40, 128, 500}, {2, 1000, 1}, {64, 1, 2},
};

TEST(KernelPaths, LayerNormMatchesTheOracle) {
  Values values(4242);
  for (const RowsCase& c : rows_cases) {
    const std::size_t count = c.rows * c.columns;
    // Three values past the counted rows show that they are left alone.
    const std::vector<float> input = values.matrix(count + 3, c.special_one_in);
    const std::vector<float> expected = oracle::layer_norm(input, c.rows, c.columns, 1e-5F);
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(fmt::format("{} {}x{}", path_name(path), c.rows, c.columns));
      std::vector<float> output(input.size(), 0.0F);
      layer_norm_with(path, input, output, c.rows, c.columns, 1e-5F);
      EXPECT_TRUE(same_values(expected, output));
      std::vector<float> in_place = input;
      layer_norm_with(path, in_place, in_place, c.rows, c.columns, 1e-5F);
      EXPECT_TRUE(same_values(with_tail(expected, count, input), in_place));
    }
  }
}

TEST(KernelPaths, LayerNormOfExtremeRowsMatchesTheOracle) {
  // Rows of subnormals only (scaled down from [2^-126, 2^-125), so their sums
  // stay subnormal), of values near the largest float (their sums and squares
  // overflow), and of tiny normals whose squares fall below the normal range.
  const struct {
    const char* name;
    int lowest;
    std::uint32_t binades;
    float scale;
  } ranges[] = {{"subnormal", -126, 1, 0x1p-10F}, {"huge", 120, 8, 1.0F}, {"tiny", -126, 10, 1.0F}};
  Values values(77);
  for (const auto& range : ranges) {
    std::vector<float> input = values.binades(19 * 40, range.lowest, range.binades);
    for (float& value : input) {
      value = value * range.scale;
    }
    const std::vector<float> expected = oracle::layer_norm(input, 19, 40, 1e-5F);
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(fmt::format("{} {}", path_name(path), range.name));
      std::vector<float> output(input.size(), 0.0F);
      layer_norm_with(path, input, output, 19, 40, 1e-5F);
      EXPECT_TRUE(same_values(expected, output));
    }
  }
}

TEST(KernelPaths, SoftmaxMatchesTheOracle) {
  Values values(1717);
  for (const RowsCase& c : rows_cases) {
    const std::size_t count = c.rows * c.columns;
    // Magnitudes from 2^-15 to 2^8, either sign, shifted by -300 in every
    // third case: exponentials span 1 down to zero through the subnormals,
    // and every row of a shifted case has a negative maximum.
    std::vector<float> input = values.matrix(count + 3, c.special_one_in);
    if (c.rows % 3 == 0) {
      for (float& value : input) {
        value = value - 300.0F;
      }
    }
    std::vector<float> expected = input;
    oracle::softmax_rows(expected, c.rows, c.columns);
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(fmt::format("{} {}x{}", path_name(path), c.rows, c.columns));
      std::vector<float> output = input;
      softmax_rows_with(path, output, c.rows, c.columns);
      EXPECT_TRUE(same_values(expected, output));
      // The row kernel itself also writes into a list apart from its input.
      std::vector<float> apart = input;
      row_function(path)(RowWork{.operation = RowOperation::Softmax,
                                 .input = input.data(),
                                 .output = apart.data(),
                                 .rows = c.rows,
                                 .columns = c.columns});
      EXPECT_TRUE(same_values(expected, apart));
    }
  }
}

// Arguments where a step of GELU changes regime: tanh's argument rounding to
// +-1 (near +-9.01 and beyond), the cube overflowing (near 6.98e12) and the
// product with 0.044715 with it, 0.5 x turning subnormal, subnormals, zeros,
// infinities and NaN.
std::vector<float> gelu_thresholds() {
  std::vector<float> arguments{0.0F,        -0.0F,          inf,       -inf,          nan,        -nan,
                               0x1p-149F,   -0x1p-149F,     0x1p-126F, -0x1p-126F,    0x1p-125F,  1e-20F,
                               -1e-20F,     3.0F,           -3.0F,     5.0F,          -5.0F,      6.98e12F,
                               -6.98e12F,   7.0e12F,        -7.0e12F,  1.8e13F,       -1.8e13F,   3.4028235e38F,
                               -3.4028235e38F};
  for (const float centre : {4.0F, -4.0F, 9.0F, -9.0F, 9.01F, -9.01F, 10.0F, -10.0F}) {
    float value = centre;
    for (int step = 0; step < 40; ++step) {
      arguments.push_back(value);
      value = std::nextafter(value, 2.0F * centre);
    }
  }
  return arguments;
}

TEST(KernelPaths, GeluMatchesTheOracle) {
  Values values(99991);
  std::vector<float> arguments = gelu_thresholds();
  const std::vector<float> random = values.matrix(1200, 20);
  arguments.insert(arguments.end(), random.begin(), random.end());
  const std::vector<float> wide = values.binades(600, -126, 254);
  arguments.insert(arguments.end(), wide.begin(), wide.end());
  // Lengths below, at and past a vector and a batch of tangents (512).
  for (const std::size_t length : {std::size_t{1}, std::size_t{3}, std::size_t{16}, std::size_t{17},
                                   std::size_t{511}, std::size_t{512}, std::size_t{513}, arguments.size()}) {
    const std::vector<float> input(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(length));
    std::vector<float> expected;
    for (const float value : input) {
      expected.push_back(oracle::gelu(value));
    }
    for (const KernelPath path : available_paths()) {
      SCOPED_TRACE(fmt::format("{} length {}", path_name(path), length));
      std::vector<float> output(length, 0.0F);
      gelu_with(path, input, output);
      EXPECT_TRUE(same_values(expected, output));
      std::vector<float> in_place = input;
      gelu_with(path, in_place, in_place);
      EXPECT_TRUE(same_values(expected, in_place));
    }
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
      // Heads of 64 columns, as in the larger layers; feed-forward widths of
      // exactly one block of activations and just past two.
      {{16, 192, 3, 384}, 1000000, true},
      {{7, 16, 2, 769}, 1000000, true},
      // A few infinities and NaN in the input poison whole rows.
      {{9, 24, 2, 40}, 50, true},
  };
  Values values(31337);
  // One workspace serves every layer and path in turn, growing and shrinking
  // its use; each result must still equal the oracle.
  EncoderWorkspace workspace;
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
      std::vector<float> output(input.size(), nan);
      const Result<void> written = encoder_reference_with(path, config, input, weights, workspace, output);
      ASSERT_TRUE(written.has_value()) << written.error();
      EXPECT_TRUE(same_values(expected, output));
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

// The Result forms on every path: a refused call names its precondition and
// writes nothing.
TEST(KernelPaths, ShortListsAreRefusedOnEveryPath) {
  const std::vector<float> three(3, 1.0F);
  for (const KernelPath path : available_paths()) {
    SCOPED_TRACE(path_name(path));
    const Result<std::vector<float>> product = try_matmul_with(path, three, three, 2, 2, 1);
    ASSERT_FALSE(product.has_value());
    EXPECT_EQ(product.error(), CompileError::graph("matmul: left holds fewer than rows x inner values"));

    std::vector<float> two{5.0F, 5.0F};
    const Result<void> normalised = try_layer_norm_with(path, three, two, 1, 3, 1e-5F);
    ASSERT_FALSE(normalised.has_value());
    EXPECT_EQ(normalised.error(), CompileError::graph("layer_norm: output holds fewer than rows x columns values"));
    EXPECT_EQ(two, (std::vector<float>{5.0F, 5.0F}));

    const Result<void> softmax = try_softmax_rows_with(path, two, 1, 3);
    ASSERT_FALSE(softmax.has_value());
    EXPECT_EQ(softmax.error(), CompileError::graph("softmax_rows: values hold fewer than rows x columns values"));
    EXPECT_EQ(two, (std::vector<float>{5.0F, 5.0F}));
  }
}

TEST(KernelPathsDeathTest, ShortListsStopOnEveryPath) {
  const std::vector<float> three(3, 1.0F);
  for (const KernelPath path : available_paths()) {
    SCOPED_TRACE(path_name(path));
    EXPECT_DEATH((void)matmul_with(path, three, three, 2, 2, 1), "left holds fewer than rows x inner");
    EXPECT_DEATH((void)matmul_with(path, three, three, 1, 2, 2), "right holds fewer than inner x columns");
    std::vector<float> two(2, 0.0F);
    EXPECT_DEATH(layer_norm_with(path, three, two, 1, 3, 1e-5F), "layer_norm: output holds fewer than rows x columns");
    EXPECT_DEATH(layer_norm_with(path, three, two, 2, 2, 1e-5F), "layer_norm: input holds fewer than rows x columns");
    EXPECT_DEATH(softmax_rows_with(path, two, 1, 3), "softmax_rows: values hold fewer than rows x columns");
    EXPECT_DEATH(gelu_with(path, three, two), "gelu: output and input differ in length");
  }
}

}  // namespace
}  // namespace orvo_compiler::detail
