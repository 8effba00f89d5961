// Reference kernels: exact results where the operation order decides them,
// IEEE edge values, softmax rows whose maximum is negative (for the test
// oracle too), untouched tails of longer lists, and the stop on lists too
// short for their counts, or the same failures as errors from the Result
// forms. The row kernels' cases run through the public entry and through every
// instruction-set path this processor offers.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/kernels_dispatch.hpp"
#include "kernels/kernels_oracle.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/kernels.hpp"

namespace orvo_compiler {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> out;
  for (const float value : values) {
    out.push_back(bits(value));
  }
  return out;
}

// A row kernel under a name: the public entry, or the kernel on one path.
template <class Function>
struct Implementation {
  std::string name;
  Function run;
};

using LayerNorm = std::function<std::vector<float>(std::span<const float>, std::uint64_t, std::uint64_t, float)>;
using Softmax = std::function<void(std::span<float>, std::uint64_t, std::uint64_t)>;
using Gelu = std::function<float(float)>;

std::vector<Implementation<LayerNorm>> layer_norms() {
  std::vector<Implementation<LayerNorm>> implementations{{"layer_norm", &layer_norm}};
  for (const detail::KernelPath path : detail::available_paths()) {
    implementations.push_back(
        {std::string(detail::path_name(path)),
         [path](std::span<const float> input, std::uint64_t rows, std::uint64_t columns, float epsilon) {
           std::vector<float> output(input.size(), 0.0F);
           detail::layer_norm_with(path, input, output, rows, columns, epsilon);
           return output;
         }});
  }
  return implementations;
}

std::vector<Implementation<Softmax>> softmaxes() {
  std::vector<Implementation<Softmax>> implementations{{"softmax_rows", &softmax_rows}};
  for (const detail::KernelPath path : detail::available_paths()) {
    implementations.push_back(
        {std::string(detail::path_name(path)), [path](std::span<float> values, std::uint64_t rows,
                                                      std::uint64_t columns) {
           detail::softmax_rows_with(path, values, rows, columns);
         }});
  }
  return implementations;
}

std::vector<Implementation<Gelu>> gelus() {
  std::vector<Implementation<Gelu>> implementations{{"gelu", &gelu}};
  for (const detail::KernelPath path : detail::available_paths()) {
    implementations.push_back({std::string(detail::path_name(path)), [path](float value) {
                                 float result = 0.0F;
                                 detail::gelu_with(path, {&value, 1}, {&result, 1});
                                 return result;
                               }});
  }
  return implementations;
}

TEST(Matmul, SmallIntegerProduct) {
  const std::vector<float> left{1, 2, 3, 4, 5, 6};
  const std::vector<float> right{7, 8, 9, 10, 11, 12};
  EXPECT_EQ(matmul(left, right, 2, 3, 2), (std::vector<float>{58, 64, 139, 154}));
}

TEST(Matmul, SumsInAscendingInnerOrder) {
  // Ascending order loses the 1 in 1e8 + 1 before -1e8 arrives; summing from
  // the end, or in a wider accumulator, would keep it.
  const std::vector<float> left{1.0F, 1e8F, -1e8F};
  const std::vector<float> right{1.0F, 1.0F, 1.0F};
  EXPECT_EQ(bits(matmul(left, right, 1, 3, 1)), (std::vector<std::uint32_t>{0x00000000}));
}

TEST(Matmul, RoundsEachProductBeforeAdding) {
  // (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 rounds to 1 + 2^-11; adding -1 then
  // gives 2^-11, where a fused multiply-add would keep the 2^-24.
  const float a = 1.0F + 0x1p-12F;
  const std::vector<float> left{1.0F, a};
  const std::vector<float> right{-1.0F, a};
  EXPECT_EQ(bits(matmul(left, right, 1, 2, 1)), (std::vector<std::uint32_t>{0x3A000000}));
}

TEST(Matmul, ZeroSizes) {
  const std::vector<float> none;
  EXPECT_EQ(bits(matmul(none, none, 2, 0, 3)), std::vector<std::uint32_t>(6, 0x00000000));
  EXPECT_TRUE(matmul(none, std::vector<float>{1, 2}, 0, 2, 1).empty());
  EXPECT_TRUE(matmul(std::vector<float>{1, 2}, none, 1, 2, 0).empty());
}

TEST(Matmul, ReadsOnlyTheCountedPrefixes) {
  const std::vector<float> left{2, 3, nan, inf};
  const std::vector<float> right{5, 7, nan};
  EXPECT_EQ(matmul(left, right, 1, 2, 1), (std::vector<float>{31}));
}

// Counts whose product is zero describe no work, however large the other
// count: each call must come straight back instead of looping over empty rows.
TEST(Kernels, EmptyWorkWithAHugeCountReturnsAtOnce) {
  constexpr std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  const std::vector<float> none;
  EXPECT_TRUE(matmul(none, none, huge, 0, 0).empty());
  EXPECT_TRUE(matmul(none, none, 0, 0, huge).empty());
  EXPECT_TRUE(matmul(none, none, 0, huge, 0).empty());
  const std::vector<float> input{-1, 5, nan};
  for (const auto& [name, normalise] : layer_norms()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(bits(normalise(input, huge, 0, 1e-5F)), std::vector<std::uint32_t>(3, 0));
  }
  for (const auto& [name, softmax] : softmaxes()) {
    SCOPED_TRACE(name);
    std::vector<float> values{1, 2};
    softmax(values, huge, 0);
    EXPECT_EQ(bits(values), bits(std::vector<float>{1, 2}));
  }
}

TEST(LayerNorm, RowOneToFour) {
  // Mean 2.5, variance 1.25, scale 1 / sqrt(1.25 + 1e-5).
  const std::vector<float> input{1, 2, 3, 4};
  for (const auto& [name, normalise] : layer_norms()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(bits(normalise(input, 1, 4, 1e-5F)),
              (std::vector<std::uint32_t>{0xBFABBAB6, 0xBEE4F8F3, 0x3EE4F8F3, 0x3FABBAB6}));
  }
}

TEST(LayerNorm, ConstantRows) {
  struct Case {
    const char* name;
    std::vector<float> input;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      // The sum 5.1 of three 1.7 values is not exact, so mean and value differ
      // in the last bits and the scale 1 / sqrt(epsilon) magnifies that.
      {"three 1.7", {1.7F, 1.7F, 1.7F}, {0xB81E1D28, 0xB81E1D28, 0xB81E1D28}},
      {"four 2.0", {2, 2, 2, 2}, {0, 0, 0, 0}},
  };
  for (const auto& [name, normalise] : layer_norms()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(name + ": " + c.name);
      EXPECT_EQ(bits(normalise(c.input, 1, c.input.size(), 1e-5F)), c.expected);
    }
  }
}

TEST(LayerNorm, RowsAreIndependentAndTailStaysZero) {
  const std::vector<float> input{1, 2, 3, 4, 2, 2, 2, 2, 99, -7};
  for (const auto& [name, normalise] : layer_norms()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(bits(normalise(input, 2, 4, 1e-5F)),
              (std::vector<std::uint32_t>{0xBFABBAB6, 0xBEE4F8F3, 0x3EE4F8F3, 0x3FABBAB6, 0, 0, 0, 0, 0, 0}));
  }
}

TEST(LayerNorm, ZeroRowsOrColumnsGivePositiveZeros) {
  const std::vector<float> input{-1, 5, nan};
  for (const auto& [name, normalise] : layer_norms()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(bits(normalise(input, 0, 3, 1e-5F)), std::vector<std::uint32_t>(3, 0));
    EXPECT_EQ(bits(normalise(input, 3, 0, 1e-5F)), std::vector<std::uint32_t>(3, 0));
  }
}

TEST(SoftmaxRows, OneTwoThree) {
  for (const auto& [name, softmax] : softmaxes()) {
    SCOPED_TRACE(name);
    std::vector<float> values{1, 2, 3};
    softmax(values, 1, 3);
    // exp(-2) / t, exp(-1) / t, 1 / t with t = exp(-2) + exp(-1) + 1, each
    // exponential correctly rounded and t summed in that order.
    EXPECT_FLOAT_EQ(values[0], 0.09003057F);
    EXPECT_FLOAT_EQ(values[1], 0.24472848F);
    EXPECT_FLOAT_EQ(values[2], 0.66524094F);
    EXPECT_EQ(bits(values), (std::vector<std::uint32_t>{0x3DB861F3, 0x3E7A9A1A, 0x3F2A4D3B}));
  }
}

TEST(SoftmaxRows, ExactRows) {
  struct Case {
    const char* name;
    std::vector<float> values;
    std::uint64_t rows;
    std::uint64_t columns;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"equal values", {5, 5, 5, 5}, 1, 4, {0.25F, 0.25F, 0.25F, 0.25F}},
      {"minus infinity beside a finite value", {-inf, 0}, 1, 2, {0, 1}},
      {"two rows", {7, 7, -3, -3}, 2, 2, {0.5F, 0.5F, 0.5F, 0.5F}},
      {"tail untouched", {1, 1, 42, nan}, 1, 2, {0.5F, 0.5F, 42}},
      {"zero rows", {3, 4}, 0, 2, {3, 4}},
      {"zero columns", {3, 4}, 2, 0, {3, 4}},
  };
  for (const auto& [name, softmax] : softmaxes()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(name + ": " + c.name);
      std::vector<float> values = c.values;
      softmax(values, c.rows, c.columns);
      const std::vector<float> counted(values.begin(),
                                       values.begin() + static_cast<std::ptrdiff_t>(c.expected.size()));
      EXPECT_EQ(counted, c.expected);
    }
  }
}

// Rows whose maximum is negative. Each row is shifted by its own maximum, so
// its largest element becomes exp(0) = 1 however negative the row is; a
// running maximum started at 0 instead of minus infinity would leave
// {-200, -201} unshifted, both exponentials 0 in float and the results 0 / 0,
// and would turn the exponentials of {-150, -100} and {-90, -89.5} subnormal
// and those of {-3, -2, -1} differently rounded. Expected bits from MPFR with
// 24-bit precision and the float exponent range, rounding every step in the
// kernel's order: shift, correctly rounded exp, running sum from the first
// element, division.
TEST(SoftmaxRows, NegativeMaximum) {
  struct Case {
    const char* name;
    std::vector<float> values;
    std::uint64_t rows;
    std::uint64_t columns;
    std::vector<std::uint32_t> expected;
  };
  const Case cases[] = {
      // 1 / (1 + e^-1) = 0.7310586, e^-1 / (1 + e^-1) = 0.26894143.
      {"-200, -201", {-200, -201}, 1, 2, {0x3F3B26A8, 0x3E89B2B1}},
      // The same bits as 1, 2, 3.
      {"-3, -2, -1", {-3, -2, -1}, 1, 3, {0x3DB861F3, 0x3E7A9A1A, 0x3F2A4D3B}},
      // Shifted by -0.25: 0.37698644, 0.10800843, 0.48406017, 0.03094493.
      {"distinct fractions", {-0.5F, -1.75F, -0.25F, -3}, 1, 4, {0x3EC1045E, 0x3DDD3386, 0x3EF7D6BC, 0x3CFD8039}},
      // e^0, e^-1, e^-2.5 over their sum 1.4499729.
      {"every exp underflows unshifted", {-1000, -1001, -1002.5F}, 1, 3, {0x3F308E5A, 0x3E81E717, 0x3D67E1B5}},
      // e^-50 = 1.9287499e-22 vanishes beside 1 in the sum.
      {"exps zero and subnormal unshifted", {-150, -100}, 1, 2, {0x1B692BEB, 0x3F800000}},
      // e^-0.5 / (1 + e^-0.5) = 0.37754068, 1 / (1 + e^-0.5) = 0.62245935.
      {"exps subnormal unshifted", {-90, -89.5F}, 1, 2, {0x3EC14D03, 0x3F1F597F}},
      // The second row's maximum is its own, not the first row's.
      {"after a positive row", {7, 7, -200, -201}, 2, 2, {0x3F000000, 0x3F000000, 0x3F3B26A8, 0x3E89B2B1}},
  };
  // The kernel on every path, and the plain loops the kernel paths and
  // fuzzing compare with.
  std::vector<Implementation<Softmax>> implementations = softmaxes();
  implementations.push_back({"oracle", &oracle::softmax_rows});
  for (const auto& [implementation, softmax] : implementations) {
    for (const Case& c : cases) {
      SCOPED_TRACE(implementation + ": " + c.name);
      std::vector<float> values = c.values;
      softmax(values, c.rows, c.columns);
      EXPECT_EQ(bits(values), c.expected);
    }
  }
}

TEST(SoftmaxRows, RowsThatBecomeNaN) {
  struct Case {
    const char* name;
    std::vector<float> values;
  };
  const Case cases[] = {
      {"NaN inside", {1, nan, 2}},
      {"NaN first", {nan, 1, 2}},
      {"plus infinity", {inf, 1}},
      {"all minus infinity", {-inf, -inf}},
      {"all NaN", {nan, nan}},
  };
  for (const auto& [name, softmax] : softmaxes()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(name + ": " + c.name);
      std::vector<float> values = c.values;
      softmax(values, 1, values.size());
      for (const float value : values) {
        EXPECT_TRUE(std::isnan(value)) << value;
      }
    }
  }
}

TEST(Gelu, KnownValues) {
  for (const auto& [name, gelu_of] : gelus()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(bits(gelu_of(0.0F)), 0x00000000U);
    EXPECT_EQ(bits(gelu_of(10.0F)), bits(10.0F));
    // tanh reaches -1 exactly, and -5 x +0.0 is a negative zero.
    EXPECT_EQ(bits(gelu_of(-10.0F)), 0x80000000U);
    EXPECT_FLOAT_EQ(gelu_of(1.0F), 0.84119201F);
    EXPECT_FLOAT_EQ(gelu_of(-1.0F), -0.15880799F);
    EXPECT_FLOAT_EQ(gelu_of(0.5F), 0.34571400F);
    EXPECT_FLOAT_EQ(gelu_of(-3.0F), -0.0036374331F);
    // Every step rounded to float in order, tanh correctly rounded.
    EXPECT_EQ(bits(gelu_of(1.0F)), 0x3F57585CU);
    EXPECT_EQ(bits(gelu_of(-1.0F)), 0xBE229E90U);
    EXPECT_EQ(bits(gelu_of(0.5F)), 0x3EB1016DU);
    EXPECT_EQ(bits(gelu_of(-3.0F)), 0xBB6E6200U);
  }
}

TEST(Gelu, OddPartIsTheIdentity) {
  for (const auto& [name, gelu_of] : gelus()) {
    SCOPED_TRACE(name);
    // gelu(x) - gelu(-x) = x exactly in real arithmetic; the sum is twice the
    // even part, about 0.68 at 1.
    EXPECT_NEAR(gelu_of(1.0F) - gelu_of(-1.0F), 1.0F, 1e-6F);
    EXPECT_NEAR(gelu_of(1.0F) + gelu_of(-1.0F), 0.682384F, 1e-6F);
  }
}

template <class T>
std::optional<CompileError> error_of(const Result<T>& result) {
  if (result) {
    return std::nullopt;
  }
  return result.error();
}

// Each broken precondition of a Result form is a Graph error with the message
// its process-stopping form stops with; overflowing counts are reported
// before lists too short for them.
TEST(KernelResults, BrokenPreconditionsAreGraphErrors) {
  // 2^32 x 2^32 wraps to 0 in 64 bits and would otherwise pass as an empty list.
  constexpr std::uint64_t big = std::uint64_t{1} << 32;
  const std::vector<float> three(3, 1.0F);
  const std::vector<float> none;
  std::vector<float> mutable_three(3, 1.0F);
  std::vector<float> mutable_none;
  struct Case {
    const char* name;
    std::function<std::optional<CompileError>()> call;
    const char* message;
  };
  const Case cases[] = {
      {"short left", [&] { return error_of(try_matmul(three, three, 2, 2, 1)); },
       "matmul: left holds fewer than rows x inner values"},
      {"short right", [&] { return error_of(try_matmul(three, three, 1, 2, 2)); },
       "matmul: right holds fewer than inner x columns values"},
      {"rows x inner", [&] { return error_of(try_matmul(none, none, big, big, 0)); },
       "matmul: rows x inner overflows"},
      {"inner x columns", [&] { return error_of(try_matmul(none, none, 0, big, big)); },
       "matmul: inner x columns overflows"},
      {"rows x columns", [&] { return error_of(try_matmul(none, none, big, 0, big)); },
       "matmul: rows x columns overflows"},
      {"overflow before a short left", [&] { return error_of(try_matmul(none, none, 1, big, big)); },
       "matmul: inner x columns overflows"},
      {"short layer norm input", [&] { return error_of(try_layer_norm(three, 2, 2, 1e-5F)); },
       "layer_norm: input holds fewer than rows x columns values"},
      {"layer norm rows x columns", [&] { return error_of(try_layer_norm(none, big, big, 1e-5F)); },
       "layer_norm: rows x columns overflows"},
      {"short softmax values", [&] { return error_of(try_softmax_rows(mutable_three, 1, 4)); },
       "softmax_rows: values hold fewer than rows x columns values"},
      {"softmax rows x columns", [&] { return error_of(try_softmax_rows(mutable_none, big, big)); },
       "softmax_rows: rows x columns overflows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), CompileError::graph(c.message));
  }
}

TEST(KernelResults, RefusedSoftmaxLeavesTheValues) {
  std::vector<float> values{1.0F, nan, -0.0F};
  EXPECT_FALSE(try_softmax_rows(values, 2, 2).has_value());
  EXPECT_EQ(bits(values), (std::vector<std::uint32_t>{0x3F800000, 0x7FC00000, 0x80000000}));
}

TEST(KernelResults, AcceptedCallsGiveTheKernelsResults) {
  const Result<std::vector<float>> product =
      try_matmul(std::vector<float>{1, 2, 3, 4, 5, 6}, std::vector<float>{7, 8, 9, 10, 11, 12}, 2, 3, 2);
  ASSERT_TRUE(product.has_value()) << product.error();
  EXPECT_EQ(*product, (std::vector<float>{58, 64, 139, 154}));

  // Rows {1, 3} and {5, 7}: mean 2 or 6, variance 1, so -1 and 1 exactly; the
  // position past rows x columns is +0.0.
  const Result<std::vector<float>> normalised = try_layer_norm(std::vector<float>{1, 3, 5, 7, 9}, 2, 2, 0.0F);
  ASSERT_TRUE(normalised.has_value()) << normalised.error();
  EXPECT_EQ(bits(*normalised), (std::vector<std::uint32_t>{0xBF800000, 0x3F800000, 0xBF800000, 0x3F800000, 0}));

  // Four equal values share 1 as quarters; the value past the row stays.
  std::vector<float> values{2, 2, 2, 2, 7};
  ASSERT_TRUE(try_softmax_rows(values, 1, 4).has_value());
  EXPECT_EQ(values, (std::vector<float>{0.25F, 0.25F, 0.25F, 0.25F, 7}));
}

TEST(KernelsDeathTest, ShortListsStopTheProcess) {
  const std::vector<float> three(3, 1.0F);
  std::vector<float> mutable_three(3, 1.0F);
  EXPECT_DEATH((void)matmul(three, three, 2, 2, 1), "left holds fewer than rows x inner");
  EXPECT_DEATH((void)matmul(three, three, 1, 2, 2), "right holds fewer than inner x columns");
  EXPECT_DEATH((void)layer_norm(three, 2, 2, 1e-5F), "input holds fewer than rows x columns");
  EXPECT_DEATH(softmax_rows(mutable_three, 1, 4), "values hold fewer than rows x columns");
}

TEST(KernelsDeathTest, CountProductsThatOverflowStopTheProcess) {
  // 2^32 x 2^32 wraps to 0 in 64 bits and would otherwise pass as an empty list.
  constexpr std::uint64_t big = std::uint64_t{1} << 32;
  const std::vector<float> none;
  std::vector<float> mutable_none;
  EXPECT_DEATH((void)matmul(none, none, big, big, 0), "rows x inner overflows");
  EXPECT_DEATH((void)matmul(none, none, 0, big, big), "inner x columns overflows");
  EXPECT_DEATH((void)matmul(none, none, big, 0, big), "rows x columns overflows");
  EXPECT_DEATH((void)layer_norm(none, big, big, 1e-5F), "rows x columns overflows");
  EXPECT_DEATH(softmax_rows(mutable_none, big, big), "rows x columns overflows");
}

}  // namespace
}  // namespace orvo_compiler
