// The convolution kernels against a plain loop over the window taps the
// geometry of ops_vision.hpp lists: the direct kernel and the fast one on
// every kernel path this processor runs, over random shapes with groups,
// strides, dilations and pads in one to three spatial axes, and filters with
// infinite and NaN weights, which must not meet the padding; and max
// pooling's route against each window's taps.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "graph/ops_reductions.hpp"
#include "graph/ops_vision.hpp"
#include "kernels/kernels_conv.hpp"
#include "kernels/kernels_dispatch.hpp"
#include "support/random.hpp"

namespace orvo_compiler::detail {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// A conv problem in the graph's terms: x [batch, channels, spatial...],
// filters [filters, channels / group, kernel...], pads before then after.
struct Problem {
  Shape x;
  Shape w;
  std::uint64_t group = 1;
  Shape strides;
  Shape dilations;
  Shape pads;
  bool bias = false;
};

struct Values {
  std::vector<float> x;
  std::vector<float> w;
  std::vector<float> bias;
};

// The defining loop: for each output, the taps of its window from the
// window geometry, channel by channel.
std::vector<float> oracle(const WindowGeometry& window, const Problem& problem, const Values& values) {
  const std::uint64_t batch = problem.x[0];
  const std::uint64_t channels = problem.x[1];
  const std::uint64_t filters = problem.w[0];
  const std::uint64_t group_channels = problem.w[1];
  const std::uint64_t group_filters = filters / problem.group;
  const std::uint64_t plane = elements_of(window.input);
  const std::uint64_t taps = elements_of(window.kernel);
  const std::uint64_t positions = elements_of(window.output);
  std::vector<float> output(batch * filters * positions);
  for_each_window(window, [&](std::uint64_t position, std::span<const WindowTap> window_taps, std::uint64_t) {
    for (std::uint64_t n = 0; n < batch; ++n) {
      for (std::uint64_t m = 0; m < filters; ++m) {
        const std::uint64_t first_channel = (m / group_filters) * group_channels;
        float sum = 0.0F;
        for (std::uint64_t c = 0; c < group_channels; ++c) {
          for (const WindowTap& tap : window_taps) {
            const float product = values.x[(n * channels + first_channel + c) * plane + tap.input_offset] *
                                  values.w[(m * group_channels + c) * taps + tap.kernel_index];
            sum = product + sum;
          }
        }
        if (problem.bias) {
          sum = sum + values.bias[m];
        }
        output[(n * filters + m) * positions + position] = sum;
      }
    }
  });
  return output;
}

// Equal bits, except that any NaN matches any NaN (which of two NaN operands
// an add passes on depends on operand order, which a compiler may swap).
::testing::AssertionResult same_values(const std::vector<float>& expected, const std::vector<float>& actual) {
  if (expected.size() != actual.size()) {
    return ::testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size();
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(expected[i]) != std::bit_cast<std::uint32_t>(actual[i]) &&
        !(std::isnan(expected[i]) && std::isnan(actual[i]))) {
      return ::testing::AssertionFailure() << "element " << i << ": expected " << expected[i] << " (bits "
                                           << std::bit_cast<std::uint32_t>(expected[i]) << "), got " << actual[i]
                                           << " (bits " << std::bit_cast<std::uint32_t>(actual[i]) << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

// Runs the direct kernel and the fast one on every path and compares each
// with the oracle.
void expect_oracle_bits(const Problem& problem, const Values& values) {
  const Shape kernel(problem.w.begin() + 2, problem.w.end());
  const Result<WindowGeometry> window = window_geometry("conv", problem.x, kernel, problem.strides,
                                                        problem.dilations, problem.pads, false, false, "conv");
  ASSERT_TRUE(window.has_value()) << window.error().message;
  const std::vector<float> expected = oracle(*window, problem, values);
  const ConvShape shape = conv_shape(problem.x[0], problem.x[1], problem.w[0], problem.group, window->input,
                                     window->kernel, window->strides, window->dilations, window->pads_before,
                                     window->output);
  const std::span<const float> bias = problem.bias ? std::span<const float>(values.bias) : std::span<const float>{};

  std::vector<float> direct(expected.size(), -1.0F);
  conv_direct(shape, values.x, values.w, bias, direct);
  EXPECT_TRUE(same_values(expected, direct)) << "direct";
  for (const KernelPath path : available_paths()) {
    std::vector<float> fast(expected.size(), -1.0F);
    conv_forward(path, shape, values.x, values.w, bias, fast);
    EXPECT_TRUE(same_values(expected, fast)) << path_name(path);
    if (!conv_by_patches(shape, values.w)) {
      continue;
    }
    // Blocks of output positions as threads take them, some starting
    // inside a row of outputs, one workspace for all.
    for (const std::size_t block : {std::size_t{37}, std::size_t{96}}) {
      std::vector<float> by_blocks(expected.size(), -1.0F);
      std::vector<float> workspace;
      for (std::size_t first = 0; first < shape.positions(); first += block) {
        conv_forward_positions(path, shape, values.x, values.w, bias, by_blocks, workspace, first,
                               std::min(shape.positions(), first + block));
      }
      EXPECT_TRUE(same_values(expected, by_blocks)) << path_name(path) << " by blocks of " << block;
    }
    // Positions as the product's rows, over the packed filters, in blocks of
    // filters as threads take them (any shape of one group and one batch
    // entry the patch product serves, not only those chosen for it).
    if (shape.groups != 1 || shape.batch != 1 || shape.channels == 1) {
      continue;
    }
    std::vector<float> packed(conv_packed_filters_floats(path, shape), -1.0F);
    pack_conv_filters(path, shape, values.w, packed.data());
    std::vector<float> by_rows(expected.size(), -1.0F);
    std::vector<float> workspace;
    const std::size_t block = matmul_column_step(path);
    for (std::size_t first = 0; first < shape.filters; first += block) {
      conv_forward_packed_filters(path, shape, values.x, packed.data(), bias, by_rows, workspace, first,
                                  std::min(shape.filters, first + block));
    }
    EXPECT_TRUE(same_values(expected, by_rows)) << path_name(path) << " positions as rows";
  }
}

std::string describe(const Problem& problem) {
  return fmt::format("x {} w {} group {} strides {} dilations {} pads {} bias {}", problem.x, problem.w,
                     problem.group, problem.strides, problem.dilations, problem.pads, problem.bias);
}

// A random problem: 1 to 3 spatial axes, groups of 1 to 3 channels (or one
// channel per group, with 1 or 2 filters each), every parameter small.
Problem random_problem(test_support::Random& random) {
  const std::size_t axes = random.between(1, 3);
  Problem problem;
  problem.group = random.between(1, 3);
  const std::uint64_t group_channels = random.chance(30) ? 1 : random.between(1, 3);
  const std::uint64_t group_filters = random.between(1, 3);
  problem.x = {random.between(1, 2), problem.group * group_channels};
  problem.w = {problem.group * group_filters, group_channels};
  Shape after;
  for (std::size_t axis = 0; axis < axes; ++axis) {
    const std::uint64_t size = random.between(1, axes == 3 ? 5 : 9);
    const std::uint64_t kernel = random.between(1, 3);
    const std::uint64_t dilation = random.between(1, 2);
    const std::uint64_t extent = dilation * (kernel - 1) + 1;
    std::uint64_t before = random.between(0, 2);
    std::uint64_t pad_after = random.between(0, 2);
    if (size + before + pad_after < extent) {
      pad_after += extent - (size + before + pad_after);
    }
    problem.x.push_back(size);
    problem.w.push_back(kernel);
    problem.strides.push_back(random.between(1, 3));
    problem.dilations.push_back(dilation);
    problem.pads.push_back(before);
    after.push_back(pad_after);
  }
  problem.pads.insert(problem.pads.end(), after.begin(), after.end());
  problem.bias = random.chance(50);
  return problem;
}

// Values with negative numbers, both zeros and repeated magnitudes, so that
// products cancel and sums pass through zero.
std::vector<float> random_values(test_support::Random& random, std::uint64_t count) {
  static constexpr std::array<float, 6> specials{0.0F, -0.0F, 1.0F, -1.0F, 0.5F, -2.0F};
  std::vector<float> values(count);
  for (float& value : values) {
    value = random.chance(30) ? random.pick(specials)
                              : static_cast<float>(static_cast<double>(random.next32()) / 4294967296.0 * 8.0 - 4.0);
  }
  return values;
}

Values random_values_for(test_support::Random& random, const Problem& problem) {
  return Values{.x = random_values(random, elements_of(problem.x)),
                .w = random_values(random, elements_of(problem.w)),
                .bias = random_values(random, problem.w[0])};
}

TEST(ConvKernels, FastPathsGiveTheDirectBitsOnRandomShapes) {
  test_support::Random random(20261209);
  for (int round = 0; round < 300; ++round) {
    const Problem problem = random_problem(random);
    SCOPED_TRACE(describe(problem));
    expect_oracle_bits(problem, random_values_for(random, problem));
  }
}

TEST(ConvKernels, NonFiniteWeightsNeverMeetThePadding) {
  // Hand-worked: x [1, 2], w [inf, 1], one pad each side. The first window
  // reads only x0 through w1: 1. A padding zero times inf would make it NaN.
  {
    const Problem problem{.x = {1, 1, 2}, .w = {1, 1, 2}, .pads = {1, 1}};
    const WindowGeometry window =
        *window_geometry("conv", problem.x, {2}, {}, {}, problem.pads, false, false, "conv");
    const ConvShape shape =
        conv_shape(1, 1, 1, 1, window.input, window.kernel, window.strides, window.dilations, window.pads_before,
                   window.output);
    const std::vector<float> x{1.0F, 2.0F};
    for (const std::vector<float>& w : {std::vector<float>{inf, 1.0F}, std::vector<float>{nan, 1.0F}}) {
      for (const KernelPath path : available_paths()) {
        std::vector<float> output(3);
        conv_forward(path, shape, x, w, {}, output);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(output[0]), std::bit_cast<std::uint32_t>(1.0F)) << path_name(path);
        EXPECT_TRUE(std::isnan(output[1]) || output[1] == inf) << path_name(path);
      }
    }
  }
  // Random problems with a few infinite or NaN weights, one channel per
  // group or several, with and without padding.
  test_support::Random random(77);
  static constexpr std::array<float, 3> non_finite{inf, -inf, nan};
  for (int round = 0; round < 120; ++round) {
    const Problem problem = random_problem(random);
    SCOPED_TRACE(describe(problem));
    Values values = random_values_for(random, problem);
    values.w[random.below(values.w.size())] = random.pick(non_finite);
    values.w[random.below(values.w.size())] = random.pick(non_finite);
    expect_oracle_bits(problem, values);
  }
}

TEST(ConvKernels, ShapesThatTakeTheSpecialRoutes) {
  struct Case {
    std::string name;
    Problem problem;
  };
  const std::vector<Case> cases{
      {"1x1 stride 1 reads the input as the patch matrix", {.x = {2, 6, 5, 7}, .w = {4, 3, 1, 1}, .group = 2}},
      {"1x1 stride 2", {.x = {1, 5, 9, 8}, .w = {7, 5, 1, 1}, .strides = {2, 2}, .bias = true}},
      {"positions beyond one chunk of the patch matrix",
       {.x = {1, 64, 21, 20}, .w = {9, 64, 3, 3}, .pads = {1, 1, 1, 1}, .bias = true}},
      {"a chunk of one tile width when a single column exceeds the budget",
       {.x = {1, 512, 16, 16}, .w = {3, 512, 3, 3}, .strides = {1, 1}, .dilations = {2, 2}, .pads = {2, 0, 2, 0}}},
      {"depthwise with a channel multiplier, padding and stride",
       {.x = {2, 4, 9, 10}, .w = {8, 1, 3, 3}, .group = 4, .strides = {2, 1}, .pads = {1, 2, 1, 2}, .bias = true}},
      {"output rows one position wide: more runs per tap than are planned at once",
       {.x = {1, 3, 700, 1}, .w = {2, 3, 3, 1}, .pads = {1, 0, 1, 0}, .bias = true}},
      {"window overhanging only the far end",
       {.x = {1, 3, 6, 6}, .w = {2, 3, 3, 3}, .strides = {2, 2}, .pads = {0, 0, 2, 2}}},
      {"few positions, many filters (a short last block of them)",
       {.x = {1, 16, 7, 7}, .w = {70, 16, 3, 3}, .pads = {1, 1, 1, 1}, .bias = true}},
      {"few positions after a stride of 2",
       {.x = {1, 8, 13, 13}, .w = {100, 8, 3, 3}, .strides = {2, 2}, .pads = {1, 1, 1, 1}}},
      {"3x3 read from shifted rows of the padded input",
       {.x = {2, 5, 20, 33}, .w = {24, 5, 3, 3}, .pads = {1, 1, 1, 1}, .bias = true}},
      {"shifted rows, 5x5 padded on one side of each axis",
       {.x = {1, 3, 19, 70}, .w = {24, 3, 5, 5}, .pads = {2, 0, 1, 4}}},
      {"shifted rows, 1x3 without padding", {.x = {1, 4, 12, 40}, .w = {24, 4, 1, 3}, .bias = true}},
      {"7x7 stride 2 over rows split into even and odd columns",
       {.x = {2, 3, 23, 30}, .w = {8, 3, 7, 7}, .strides = {2, 2}, .pads = {3, 3, 3, 3}, .bias = true}},
      {"split rows of an odd width, both phases read",
       {.x = {1, 2, 9, 31}, .w = {5, 2, 2, 5}, .strides = {1, 2}, .pads = {0, 1, 1, 2}}},
      {"split rows of an odd width, dilated: odd columns only",
       {.x = {1, 2, 9, 31}, .w = {5, 2, 2, 4}, .strides = {1, 2}, .dilations = {1, 2}, .pads = {0, 1, 1, 2}}},
  };
  test_support::Random random(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_oracle_bits(c.problem, random_values_for(random, c.problem));
  }
  // Infinite and NaN inputs next to the padding and inside, read from
  // shifted rows: they reach exactly the outputs whose windows hold them.
  const Problem shifted =
      std::ranges::find(cases, "3x3 read from shifted rows of the padded input", &Case::name)->problem;
  Values values = random_values_for(random, shifted);
  for (const std::size_t at : {std::size_t{0}, std::size_t{32}, std::size_t{33 * 7 + 5}, values.x.size() - 1}) {
    values.x[at] = at % 2 == 0 ? inf : nan;
  }
  values.x[values.x.size() / 2] = -inf;
  SCOPED_TRACE("non-finite inputs on shifted rows");
  expect_oracle_bits(shifted, values);
}

// Max pooling's route (phase rows for windows two or three taps wide on one
// or two axes, a pass per tap otherwise) against each window's taps in
// order, from -inf: the largest, the first of equal zeros, NaN from a NaN
// tap; on random geometries with ceil mode and values with NaN, infinities
// and both zeros, and on rows long enough for whole vectors.
TEST(ConvKernels, MaxPoolGivesEachWindowsTapsInOrder) {
  using Steps = ReductionSteps<reduction::Max>;
  test_support::Random random(404);
  static constexpr std::array<float, 6> specials{nan, inf, -inf, 0.0F, -0.0F, 1.0F};
  std::vector<std::pair<Problem, bool>> problems{
      {{.x = {1, 3, 13, 41}, .w = {3, 3, 3, 3}, .strides = {2, 2}, .pads = {1, 1, 1, 1}}, false},
      {{.x = {2, 2, 12, 40}, .w = {2, 2, 2, 2}, .strides = {2, 2}}, true},
      {{.x = {1, 2, 9, 37}, .w = {2, 2, 3, 3}, .strides = {1, 3}, .dilations = {2, 2}, .pads = {2, 1, 0, 2}}, true},
  };
  for (int round = 0; round < 400; ++round) {
    problems.emplace_back(random_problem(random), random.chance(50));
  }
  for (const auto& [problem, ceil_mode] : problems) {
    SCOPED_TRACE(fmt::format("{} ceil {}", describe(problem), ceil_mode));
    const Shape kernel(problem.w.begin() + 2, problem.w.end());
    const Result<WindowGeometry> window = window_geometry("max_pool", problem.x, kernel, problem.strides,
                                                          problem.dilations, problem.pads, ceil_mode, true, "pool");
    if (!window) {
      continue;  // pads as wide as the window
    }
    std::vector<float> x = random_values(random, elements_of(problem.x));
    for (float& value : x) {
      value = random.chance(10) ? random.pick(specials) : value;
    }
    const std::uint64_t planes = problem.x[0] * problem.x[1];
    const std::uint64_t plane = elements_of(window->input);
    const std::uint64_t positions = elements_of(window->output);
    std::vector<float> expected(planes * positions);
    for_each_window(*window, [&](std::uint64_t position, std::span<const WindowTap> taps, std::uint64_t) {
      for (std::uint64_t p = 0; p < planes; ++p) {
        float largest = Steps::initial;
        for (const WindowTap& tap : taps) {
          largest = Steps::step(largest, x[p * plane + tap.input_offset]);
        }
        expected[p * positions + position] = largest;
      }
    });
    const PoolWindows windows = pool_windows<MaxPool>(*window);
    std::vector<float> actual(expected.size(), -1.0F);
    OpDefinition<MaxPool>::pool(MaxPool{}, windows, x.data(), actual.data(), 0, planes);
    EXPECT_TRUE(same_values(expected, actual));
  }
}

}  // namespace
}  // namespace orvo_compiler::detail
