// The image kinds: each shape rule with its exact error texts, the values of
// small windows worked out by hand (the sum order, padding left out, NaN and
// ceil_mode edges, resize's rounding and clamping), and a graph holding every
// image kind compiled and verified.
#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {
namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

std::vector<std::uint32_t> bits(std::span<const float> values) {
  std::vector<std::uint32_t> out;
  for (const float value : values) {
    out.push_back(std::bit_cast<std::uint32_t>(value));
  }
  return out;
}

struct ShapeCase {
  const char* name;
  OpKind kind;
  std::vector<Shape> inputs;
  Shape expected;     // unused when `error` is set
  std::string error;  // empty when the call must succeed
};

TEST(VisionOps, ShapeRulesAndErrors) {
  const ShapeCase cases[] = {
      {"conv", Conv{}, {{2, 3, 5, 6}, {4, 3, 3, 2}}, {2, 4, 3, 5}, ""},
      {"conv strided and padded", Conv{1, {2, 2}, {}, {1, 1, 1, 1}}, {{1, 1, 5, 5}, {1, 1, 3, 3}}, {1, 1, 3, 3}, ""},
      {"conv dilated", Conv{1, {}, {2}, {}}, {{1, 1, 7}, {1, 1, 3}}, {1, 1, 3}, ""},
      {"conv depthwise with bias", Conv{2}, {{1, 2, 4, 4}, {2, 1, 3, 3}, {2}}, {1, 2, 2, 2}, ""},
      {"conv 3-d", Conv{}, {{1, 1, 3, 4, 5}, {2, 1, 2, 2, 2}}, {1, 2, 2, 3, 4}, ""},
      {"conv channels in groups", Conv{2}, {{1, 4, 4, 4}, {2, 3, 3, 3}}, {},
       "s: conv of 4 input channels in 2 groups does not take filters [2, 3, 3, 3] (2 channels each, a multiple "
       "of 2 filters)"},
      {"conv filters not a multiple of the groups", Conv{2}, {{1, 4, 4, 4}, {3, 2, 3, 3}}, {},
       "s: conv of 4 input channels in 2 groups does not take filters [3, 2, 3, 3] (2 channels each, a multiple "
       "of 2 filters)"},
      {"conv of no groups", Conv{0}, {{1, 4, 4, 4}, {2, 4, 3, 3}}, {},
       "s: conv group must be at least 1"},
      {"conv kernel larger than the padded input", Conv{1, {}, {}, {1, 0, 0, 0}}, {{1, 1, 2, 2}, {1, 1, 3, 3}}, {},
       "s: conv window of extent 3 is larger than the padded input (2) on spatial axis 1"},
      {"conv pads of the wrong length", Conv{1, {}, {}, {1, 1, 1}}, {{1, 1, 4, 4}, {1, 1, 3, 3}}, {},
       "s: conv pads [1, 1, 1] need two values per spatial axis (4: before each, then after each)"},
      {"conv strides of the wrong length", Conv{1, {1}, {}, {}}, {{1, 1, 4, 4}, {1, 1, 3, 3}}, {},
       "s: conv strides [1] and dilations [] need one value per spatial axis (2)"},
      {"conv stride 0", Conv{1, {1, 0}, {}, {}}, {{1, 1, 4, 4}, {1, 1, 3, 3}}, {},
       "s: conv kernel, strides and dilations must be at least 1"},
      {"conv huge pads", Conv{1, {}, {}, {std::uint64_t{1} << 40U, 0, 0, 0}}, {{1, 1, 4, 4}, {1, 1, 3, 3}}, {},
       "s: conv kernel, strides, dilations, pads and spatial dimensions must be below 2^32"},
      {"conv filters of another rank", Conv{}, {{1, 1, 4, 4}, {1, 1, 3}}, {},
       "s: conv filters [1, 1, 3] need the input's rank (4)"},
      {"conv of a matrix", Conv{}, {{4, 4}, {4, 4}}, {},
       "s: conv takes an input of rank 3 to 5 ([batch, channels, spatial axes...]), not [4, 4]"},
      {"conv bias", Conv{}, {{1, 1, 4}, {2, 1, 3}, {1}}, {}, "s: conv bias [1] must be [2], one value per filter"},
      {"conv of one input", Conv{}, {{1, 1, 4}}, {}, "s: conv takes 2 or 3 inputs (input, filters, bias), not 1"},
      {"conv transpose", ConvTranspose{}, {{1, 2, 3, 3}, {2, 3, 3, 3}}, {1, 3, 5, 5}, ""},
      // 2 (3 - 1) + 3 positions and one more, less the pads.
      {"conv transpose strided, padded, output padding", ConvTranspose{1, {2}, {}, {1, 1}, {1}},
       {{1, 1, 3}, {1, 1, 3}}, {1, 1, 6}, ""},
      {"conv transpose dilated", ConvTranspose{1, {}, {2}, {}}, {{1, 1, 3}, {1, 1, 3}}, {1, 1, 7}, ""},
      {"conv transpose in groups with bias", ConvTranspose{2}, {{1, 4, 3}, {4, 3, 2}, {6}}, {1, 6, 4}, ""},
      {"conv transpose filters per input channel", ConvTranspose{}, {{1, 2, 3}, {3, 1, 3}}, {},
       "s: conv_transpose of 2 input channels in 1 groups does not take filters [3, 1, 3] (one filter set per input "
       "channel)"},
      {"conv transpose channels in groups", ConvTranspose{2}, {{1, 3, 3}, {3, 1, 3}}, {},
       "s: conv_transpose of 3 input channels in 2 groups does not take filters [3, 1, 3] (one filter set per input "
       "channel)"},
      {"conv transpose of no groups", ConvTranspose{0}, {{1, 2, 3}, {2, 1, 3}}, {},
       "s: conv_transpose group must be at least 1"},
      {"conv transpose pads leaving nothing", ConvTranspose{1, {}, {}, {2, 1}}, {{1, 1, 1}, {1, 1, 3}}, {},
       "s: conv_transpose pads 2 and 1 leave no output of the 3 positions on spatial axis 0"},
      {"conv transpose output padding of the wrong length", ConvTranspose{1, {}, {}, {}, {1, 1}},
       {{1, 1, 3}, {1, 1, 3}}, {},
       "s: conv_transpose strides [], dilations [] and output_padding [1, 1] need one value per spatial axis (1)"},
      {"conv transpose huge stride", ConvTranspose{1, {std::uint64_t{1} << 40U}}, {{1, 1, 3}, {1, 1, 3}}, {},
       "s: conv_transpose kernel, strides, dilations, pads, output_padding and spatial dimensions must be below 2^32"},
      {"conv transpose bias", ConvTranspose{}, {{1, 1, 3}, {1, 2, 3}, {1}}, {},
       "s: conv_transpose bias [1] must be [2], one value per output channel"},
      {"conv transpose of a matrix", ConvTranspose{}, {{4, 4}, {4, 4}}, {},
       "s: conv_transpose takes an input of rank 3 to 5 ([batch, channels, spatial axes...]), not [4, 4]"},

      {"max pool", MaxPool{{3, 3}, {2, 2}, {}, {}, false}, {{1, 2, 4, 4}}, {1, 2, 1, 1}, ""},
      {"max pool ceil", MaxPool{{3, 3}, {2, 2}, {}, {}, true}, {{1, 2, 4, 4}}, {1, 2, 2, 2}, ""},
      // The third window would start in the trailing padding, so it is dropped.
      {"max pool ceil drops a window in the padding", MaxPool{{2}, {2}, {}, {0, 1}, true}, {{1, 1, 4}}, {1, 1, 2},
       ""},
      {"max pool dilated", MaxPool{{2}, {1}, {3}, {}, false}, {{1, 1, 5}}, {1, 1, 2}, ""},
      {"max pool pads as large as the window", MaxPool{{2, 2}, {}, {}, {2, 0, 0, 0}, false}, {{1, 1, 4, 4}}, {},
       "s: max_pool pads must be smaller than the window's extent 2 on spatial axis 0"},
      {"max pool kernel of the wrong length", MaxPool{{2}, {}, {}, {}, false}, {{1, 1, 4, 4}}, {},
       "s: max_pool kernel [2] does not fit 2 spatial axes"},
      {"average pool", AveragePool{{2, 2}, {}, {1, 1, 1, 1}, false, true}, {{1, 1, 3, 3}}, {1, 1, 4, 4}, ""},
      {"average pool window larger than the input", AveragePool{{4}, {}, {}, false, false}, {{1, 1, 3}}, {},
       "s: average_pool window of extent 4 is larger than the padded input (3) on spatial axis 0"},
      {"global average pool", GlobalAveragePool{}, {{2, 3, 4, 5}}, {2, 3, 1, 1}, ""},
      {"global max pool", GlobalMaxPool{}, {{2, 3, 4}}, {2, 3, 1}, ""},
      {"global pool of a matrix", GlobalMaxPool{}, {{2, 3}}, {},
       "s: global_max_pool takes an input with spatial axes ([batch, channels, spatial axes...]), not [2, 3]"},
      {"batch normalization", BatchNormalization{}, {{2, 3, 4}, {3}, {3}, {3}, {3}}, {2, 3, 4}, ""},
      {"batch normalization of rows", BatchNormalization{}, {{2, 3}, {3}, {3}, {3}, {3}}, {2, 3}, ""},
      {"batch normalization parameters", BatchNormalization{}, {{2, 3, 4}, {3}, {3}, {1, 3}, {3}}, {},
       "s: batch_normalization parameter 3 [1, 3] must be [3], one value per channel"},
      {"batch normalization of a vector", BatchNormalization{}, {{3}, {3}, {3}, {3}, {3}}, {},
       "s: batch_normalization takes an input of rank 2 or more ([batch, channels, ...]), not [3]"},
      {"resize any rank", Resize{{1, 2, 3, 4, 5}}, {{2, 2, 2, 2, 2}}, {1, 2, 3, 4, 5}, ""},
      {"resize with scales", Resize{{4, 2}, {2, 0.5F}, "linear", "align_corners"}, {{2, 4}}, {4, 2}, ""},
      {"resize of a scalar", Resize{}, {{}}, {}, "s: resize takes an input of rank 1 or more, not a scalar"},
      {"resize to another rank", Resize{{4}}, {{2, 2}}, {}, "s: resize shape [4] needs the input's rank (2)"},
      {"resize scales of the wrong length", Resize{{2, 4}, {2}}, {{2, 2}}, {},
       "s: resize scales [2] need one value per axis (2)"},
      {"resize negative scale", Resize{{4}, {-2}}, {{2}}, {}, "s: resize scales [-2] must be positive and finite"},
      {"resize infinite scale", Resize{{4}, {infinity}}, {{2}}, {},
       "s: resize scales [inf] must be positive and finite"},
      {"resize to nothing", Resize{{0}}, {{2}}, {}, "s: resize of [2] to [0] needs dimensions from 1 to 2^32 - 1"},
      {"resize of nothing", Resize{{2}}, {{0}}, {}, "s: resize of [0] to [2] needs dimensions from 1 to 2^32 - 1"},
      {"resize huge", Resize{{std::uint64_t{1} << 32U}}, {{2}}, {},
       "s: resize of [2] to [4294967296] needs dimensions from 1 to 2^32 - 1"},
      {"resize cubic", Resize{{4}, {}, "cubic"}, {{2}}, {},
       "s: resize mode \"cubic\" is not \"nearest\" or \"linear\""},
      {"resize crop", Resize{{4}, {}, "linear", "tf_crop_and_resize"}, {{2}}, {},
       "s: resize coordinate_transformation_mode \"tf_crop_and_resize\" is not \"half_pixel\", "
       "\"pytorch_half_pixel\", \"align_corners\", \"asymmetric\" or \"tf_half_pixel_for_nn\""},
      {"resize simple rounding", Resize{{4}, {}, "nearest", "asymmetric", "simple"}, {{2}}, {},
       "s: resize nearest_mode \"simple\" is not \"round_prefer_floor\", \"round_prefer_ceil\", \"floor\" or "
       "\"ceil\""},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    std::vector<TensorId> inputs;
    for (const Shape& shape : c.inputs) {
      inputs.push_back(graph.input(std::string(1, static_cast<char>('a' + inputs.size())), shape));
    }
    const Graph before = graph;
    const Result<TensorId> result = graph.apply("s", c.kind, inputs);
    if (!c.error.empty()) {
      EXPECT_EQ(result.error(), CompileError::graph(c.error));
      EXPECT_EQ(graph, before);
      continue;
    }
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(graph.tensors[result->index].shape, c.expected);
  }
}

struct Operand {
  Shape shape;
  std::vector<float> values;
};

struct ValueCase {
  const char* name;
  OpKind kind;
  std::vector<Operand> inputs;
  std::vector<float> expected;
};

TEST(VisionOps, ValuesWorkedByHand) {
  const float third = std::bit_cast<float>(0x3EAAAAABU);
  const ValueCase cases[] = {
      {"conv 2-d with bias", Conv{},
       {{{1, 1, 3, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9}}, {{1, 1, 2, 2}, {1, 0, 0, -1}}, {{1}, {0.5F}}},
       {-3.5F, -3.5F, -3.5F, -3.5F}},
      // 1 + 1e8 rounds to 1e8: only taps in ascending order give 0 (the
      // reverse order gives 1).
      {"conv sums the taps in order", Conv{}, {{{1, 1, 3}, {1, 1e8F, -1e8F}}, {{1, 1, 3}, {1, 1, 1}}}, {0}},
      // Channel by channel gives 1e8 + 1 - 1e8 + 0 = 0; tap by tap would give 1.
      {"conv sums channels before taps", Conv{},
       {{{1, 2, 2}, {1e8F, 1, -1e8F, 0}}, {{1, 2, 2}, {1, 1, 1, 1}}}, {0}},
      // A zero multiplied into the sum would make 0 x inf = NaN.
      {"conv leaves padding out", Conv{1, {}, {}, {1, 1}}, {{{1, 1, 1}, {2}}, {{1, 1, 3}, {infinity, 1, infinity}}},
       {2}},
      {"conv strided and dilated", Conv{1, {3}, {2}, {}},
       {{{1, 1, 7}, {1, 2, 3, 4, 5, 6, 7}}, {{1, 1, 2}, {1, 10}}}, {31, 64}},
      {"conv depthwise", Conv{2}, {{{1, 2, 2}, {1, 2, 3, 4}}, {{2, 1, 1}, {10, 100}}}, {10, 20, 300, 400}},
      {"conv two groups of two channels", Conv{2},
       {{{1, 4, 1}, {1, 2, 3, 4}}, {{2, 2, 1}, {1, 10, 100, 1000}}}, {21, 4300}},
      {"conv 3-d", Conv{}, {{{1, 1, 2, 2, 2}, {1, 2, 3, 4, 5, 6, 7, 8}}, {{1, 1, 2, 2, 2}, {1, 1, 1, 1, 1, 1, 1, 1}}},
       {36}},
      {"conv batch of two", Conv{}, {{{2, 1, 2}, {1, 2, 3, 4}}, {{1, 1, 2}, {1, 1}}}, {3, 7}},
      // Padding is never the largest; a NaN in the window wins.
      {"max pool", MaxPool{{2}, {1}, {}, {1, 0}, false}, {{{1, 1, 3}, {-5, nan, -1}}}, {-5, nan, nan}},
      {"max pool ceil", MaxPool{{2}, {2}, {}, {}, true}, {{{1, 1, 5}, {1, 2, 3, 4, 5}}}, {2, 4, 5}},
      {"max pool 2-d dilated", MaxPool{{2, 2}, {}, {2, 2}, {}, false},
       {{{1, 1, 3, 3}, {1, 9, 2, 8, 3, 7, 4, 6, 5}}}, {5}},
      {"average pool without padding in the count", AveragePool{{2}, {1}, {1, 1}, false, false},
       {{{1, 1, 3}, {1, 2, 3}}}, {1, 1.5F, 2.5F, 3}},
      {"average pool with padding in the count", AveragePool{{2}, {1}, {1, 1}, false, true},
       {{{1, 1, 3}, {1, 2, 3}}}, {0.5F, 1.5F, 2.5F, 1.5F}},
      // The last window reaches past the input and its padding: only the
      // input's position counts.
      {"average pool ceil counts no overhang", AveragePool{{2}, {2}, {}, true, true},
       {{{1, 1, 5}, {1, 2, 3, 4, 5}}}, {1.5F, 3.5F, 5}},
      {"average pool rounds once", AveragePool{{3}, {}, {}, false, false}, {{{1, 1, 3}, {1, 0, 0}}}, {third}},
      {"global average pool", GlobalAveragePool{}, {{{1, 2, 2}, {1, 2, 3, 4}}}, {1.5F, 3.5F}},
      {"global max pool", GlobalMaxPool{}, {{{1, 2, 2, 1}, {1, nan, 3, 4}}}, {nan, 4}},
      // (x - mean) / sqrt(var + epsilon) * scale + bias with epsilon 1.
      {"batch normalization", BatchNormalization{1},
       {{{1, 2, 2}, {1, 2, 3, 4}}, {{2}, {2, 1}}, {{2}, {0.5F, 0}}, {{2}, {1, 3}}, {{2}, {3, 0}}},
       {0.5F, 1.5F, 0, 1}},
      {"conv transpose spreads each input", ConvTranspose{}, {{{1, 1, 2}, {1, 2}}, {{1, 1, 2}, {1, 10}}}, {1, 12, 20}},
      // Positions 0 to 5 before the pad: 1, 10, 100 + 2, 20, 200 and the
      // output padding, which holds the bias alone.
      {"conv transpose strided, padded, output padding, bias", ConvTranspose{1, {2}, {}, {1, 0}, {1}},
       {{{1, 1, 2}, {1, 2}}, {{1, 1, 3}, {1, 10, 100}}, {{1}, {0.5F}}}, {10.5F, 102.5F, 20.5F, 200.5F, 0.5F}},
      // The middle output takes tap 0 (x 1) first, then 1e8, then -1e8: 0;
      // input order would give 1.
      {"conv transpose sums the taps in order", ConvTranspose{},
       {{{1, 1, 3}, {-1e8F, 1e8F, 1}}, {{1, 1, 3}, {1, 1, 1}}}, {-1e8F, 0, 0, 1e8F, 1}},
      {"conv transpose in two groups", ConvTranspose{2}, {{{1, 2, 1}, {1, 2}}, {{2, 2, 1}, {1, 10, 100, 1000}}},
       {1, 10, 200, 2000}},
      {"conv transpose 2-d dilated", ConvTranspose{1, {}, {1, 2}, {}},
       {{{1, 1, 1, 2}, {1, 2}}, {{1, 1, 1, 2}, {1, 10}}}, {1, 2, 10, 20}},
      // half_pixel sources -0.25, 0.25, 0.75, ...: the first clamps to 0, the
      // others round to the nearest index.
      {"resize nearest up", Resize{{6}, {2}}, {{{3}, {1, 2, 3}}}, {1, 1, 2, 2, 3, 3}},
      // Sources 0.25, 0.75, 1.25, ... (tf_half_pixel_for_nn): each rounding
      // picks its own indices, the last ones clamped to the input.
      {"resize nearest floor", Resize{{6}, {2}, "nearest", "tf_half_pixel_for_nn", "floor"},
       {{{3}, {10, 20, 30}}}, {10, 10, 20, 20, 30, 30}},
      {"resize nearest ceil", Resize{{6}, {2}, "nearest", "tf_half_pixel_for_nn", "ceil"},
       {{{3}, {10, 20, 30}}}, {20, 20, 30, 30, 30, 30}},
      {"resize nearest round", Resize{{6}, {2}, "nearest", "tf_half_pixel_for_nn", "round_prefer_floor"},
       {{{3}, {10, 20, 30}}}, {10, 20, 20, 30, 30, 30}},
      // Sources 0, 0.5, 1, 1.5 (asymmetric): the ties go down or up.
      {"resize nearest ties down", Resize{{4}, {2}, "nearest", "asymmetric", "round_prefer_floor"},
       {{{2}, {10, 20}}}, {10, 10, 20, 20}},
      {"resize nearest ties up", Resize{{4}, {2}, "nearest", "asymmetric", "round_prefer_ceil"},
       {{{2}, {10, 20}}}, {10, 20, 20, 20}},
      // Sources 0.5 and 2.5: ties, rounded down.
      {"resize nearest down", Resize{{2}, {0.5F}}, {{{4}, {1, 2, 3, 4}}}, {1, 3}},
      {"resize nearest down ties up", Resize{{2}, {0.5F}, "nearest", "half_pixel", "round_prefer_ceil"},
       {{{4}, {1, 2, 3, 4}}}, {2, 4}},
      {"resize nearest copies NaN", Resize{{1, 2}}, {{{1, 1}, {nan}}}, {nan, nan}},
      // Sources -0.25 (clamped), 0.25, 0.75, 1.25 (clamped to 1).
      {"resize linear up", Resize{{4}, {2}, "linear"}, {{{2}, {0, 4}}}, {0, 1, 3, 4}},
      // Sources 0, 1/3, 2/3, 1: (1 - 0.6666667) x 1 + 0.6666667 x 10 rounds
      // to 7.0000005.
      {"resize linear align corners", Resize{{4}, {}, "linear", "align_corners"}, {{{2}, {1, 10}}},
       {1, 4, std::bit_cast<float>(0x40E00001U), 10}},
      // With scales the resized length is 4 x 0.6 = 2.4, not the 2 positions
      // kept: the second source is 3 / 1.4, between 3 and 4.
      {"resize linear align corners by a scale", Resize{{2}, {0.6F}, "linear", "align_corners"},
       {{{4}, {1, 2, 3, 4}}}, {1, std::bit_cast<float>(0x40492492U)}},
      {"resize linear align corners to one", Resize{{1}, {}, "linear", "align_corners"}, {{{3}, {5, 7, 9}}}, {5}},
      {"resize linear pytorch half pixel to one", Resize{{1}, {0.5F}, "linear", "pytorch_half_pixel"},
       {{{2}, {5, 7}}}, {5}},
      // Half-pixel to one: source (0.5) / (1 / 3) - 0.5 = 1, the middle.
      {"resize linear half pixel to one", Resize{{1}, {}, "linear"}, {{{3}, {5, 7, 9}}}, {7}},
      {"resize linear of a size-1 axis", Resize{{3}, {}, "linear"}, {{{1}, {infinity}}},
       {infinity, infinity, infinity}},
      // The rows are whole sources: no weight of 0 meets the infinity.
      {"resize linear only where it blends", Resize{{2, 2}, {1, 2}, "linear"}, {{{2, 1}, {1, infinity}}},
       {1, 1, infinity, infinity}},
      // Bilinear, PyTorch's values for align_corners=False.
      {"resize bilinear", Resize{{1, 1, 4, 4}, {1, 1, 2, 2}, "linear"}, {{{1, 1, 2, 2}, {1, 2, 3, 4}}},
       {1, 1.25F, 1.75F, 2, 1.5F, 1.75F, 2.25F, 2.5F, 2.5F, 2.75F, 3.25F, 3.5F, 3, 3.25F, 3.75F, 4}},
      {"resize linear down asymmetric", Resize{{2}, {}, "linear", "asymmetric"}, {{{5}, {0, 1, 2, 3, 4}}},
       {0, 2.5F}},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    TensorValues values;
    std::vector<TensorId> inputs;
    for (const Operand& operand : c.inputs) {
      inputs.push_back(graph.input(std::string(1, static_cast<char>('a' + inputs.size())), operand.shape));
      values[inputs.back()] = operand.values;
    }
    const Result<TensorId> output = graph.apply("o", c.kind, inputs);
    ASSERT_TRUE(output) << output.error();
    graph.mark_output(*output);
    const Result<TensorValues> outputs = evaluate(graph, values);
    ASSERT_TRUE(outputs) << outputs.error();
    EXPECT_EQ(bits(std::get<std::vector<float>>(outputs->at(*output))), bits(c.expected));
  }
}

// The compiler takes the image kinds as any other operation.
TEST(VisionOps, CompileAndVerify) {
  Graph graph;
  const TensorId x = graph.input("x", {1, 4, 8, 8});
  const TensorId w = graph.weight("w", {8, 2, 3, 3});
  const TensorId b = graph.weight("b", {8});
  const TensorId scale = graph.weight("scale", {8});
  const TensorId shift = graph.weight("shift", {8});
  const TensorId centre = graph.weight("centre", {8});
  const TensorId spread = graph.weight("spread", {8});
  const TensorId conv = *graph.apply("conv", Conv{2, {1, 1}, {1, 1}, {1, 1, 1, 1}}, {x, w, b});
  const TensorId norm = *graph.apply("norm", BatchNormalization{}, {conv, scale, shift, centre, spread});
  const TensorId largest = *graph.apply("largest", MaxPool{{2, 2}, {2, 2}, {}, {}, false}, {norm});
  const TensorId mean = *graph.apply("mean", AveragePool{{2, 2}, {2, 2}, {}, true, false}, {largest});
  graph.mark_output(*graph.apply("global_mean", GlobalAveragePool{}, {mean}));
  graph.mark_output(*graph.apply("global_max", GlobalMaxPool{}, {largest}));
  const TensorId spread_filters = graph.weight("spread_filters", {8, 1, 3, 3});
  graph.mark_output(*graph.apply("up", ConvTranspose{2, {2, 2}, {}, {1, 1, 1, 1}, {1, 1}}, {mean, spread_filters}));
  graph.mark_output(*graph.apply("nearest", Resize{{1, 8, 4, 4}, {1, 1, 2, 2}}, {mean}));
  graph.mark_output(*graph.apply("bilinear", Resize{{1, 8, 3, 5}, {}, "linear", "align_corners"}, {largest}));
  ASSERT_TRUE(graph.validate());

  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule) << schedule.error();
  EXPECT_TRUE(verify_schedule(graph, *schedule, CompilerOptions{}));
}

}  // namespace
}  // namespace orvo_compiler
