// The image operators on small models: the window attributes each form
// resolves (auto_pad, kernel_shape from the filters, defaults by opset), and
// the refusals with their texts (training mode, the Indices output read,
// attributes that do not fit the input); the operations DepthToSpace,
// SpaceToDepth and LRN become; Upsample and Resize by opset, checked against
// PyTorch's interpolation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <variant>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/model_builder.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler {
namespace {

using test_support::add_initializer;
using test_support::add_input;
using test_support::add_node;
using test_support::add_output;
using test_support::set_attribute;
using Ints = std::vector<std::int64_t>;
using Floats = std::vector<float>;
using Build = std::function<void(onnx::ModelProto&)>;
using Dims = std::vector<test_support::Dim>;

// A model of `opset` with input x of `input` dims, the nodes `build` adds and
// an output y of `output` dims.
onnx::ModelProto vision_model(std::int64_t opset, const Dims& input, const Dims& output, const Build& build) {
  onnx::ModelProto result = test_support::make_model(opset);
  add_input(result, "x", input);
  build(result);
  add_output(result, "y", output);
  return result;
}

// Filters w of `dims` (ones) and a Conv node reading x and w.
onnx::NodeProto& conv_node(onnx::ModelProto& m, const Ints& dims, const std::string& name = "") {
  std::int64_t count = 1;
  for (const std::int64_t dim : dims) {
    count *= dim;
  }
  add_initializer(m, "w", dims, Floats(static_cast<std::size_t>(count), 1.0F));
  return add_node(m, "Conv", {"x", "w"}, {"y"}, name);
}

// Filters w of `dims` (ones) and a ConvTranspose node reading x and w.
onnx::NodeProto& conv_transpose_node(onnx::ModelProto& m, const Ints& dims, const std::string& name = "") {
  std::int64_t count = 1;
  for (const std::int64_t dim : dims) {
    count *= dim;
  }
  add_initializer(m, "w", dims, Floats(static_cast<std::size_t>(count), 1.0F));
  return add_node(m, "ConvTranspose", {"x", "w"}, {"y"}, name);
}

// Per-channel parameters s, b, m, v of `channels` values and a
// BatchNormalization node reading them.
onnx::NodeProto& batch_norm_node(onnx::ModelProto& m, std::int64_t channels, const std::vector<std::string>& outputs,
                                 const std::string& name = "") {
  for (const char* parameter : {"s", "b", "m", "v"}) {
    add_initializer(m, parameter, {channels}, Floats(static_cast<std::size_t>(channels), 1.0F));
  }
  return add_node(m, "BatchNormalization", {"x", "s", "b", "m", "v"}, outputs, name);
}

// A Resize node reading x and the given inputs (empty names for omitted ones),
// with its string attributes; scales s and sizes z are initializers when given.
onnx::NodeProto& resize_node(onnx::ModelProto& m, const Floats& scales, const Ints& sizes,
                             std::vector<std::string> inputs, const std::string& name = "/resize") {
  if (!scales.empty()) {
    add_initializer(m, "s", {static_cast<std::int64_t>(scales.size())}, scales);
  }
  if (!sizes.empty()) {
    test_support::add_int64_initializer(m, "z", {static_cast<std::int64_t>(sizes.size())}, sizes);
  }
  inputs.insert(inputs.begin(), "x");
  return add_node(m, "Resize", inputs, {"y"}, name);
}

struct MappingCase {
  const char* name;
  onnx::ModelProto model;
  std::vector<std::string> ops;
};

TEST(VisionOperators, MapToTheirKinds) {
  const MappingCase cases[] = {
      {"conv with defaults", vision_model(17, {1, 2, 5, 5}, {1, 3, 3, 3}, [](onnx::ModelProto& m) {
         conv_node(m, {3, 2, 3, 3});
       }),
       {"y = Conv { group: 1, strides: [1, 1], dilations: [1, 1], pads: [0, 0, 0, 0] }(x, w) [1, 3, 3, 3]"}},
      // Five inputs at stride 2 keep ceil(5 / 2) = 3 outputs: 2 rows of
      // padding, the odd one after (SAME_UPPER) or before (SAME_LOWER).
      {"conv same upper", vision_model(11, {1, 1, 5}, {1, 1, 3}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = conv_node(m, {1, 1, 4});
         set_attribute(node, "auto_pad", std::string("SAME_UPPER"));
         set_attribute(node, "strides", Ints{2});
       }),
       {"y = Conv { group: 1, strides: [2], dilations: [1], pads: [1, 2] }(x, w) [1, 1, 3]"}},
      {"conv same lower", vision_model(11, {1, 1, 5}, {1, 1, 3}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = conv_node(m, {1, 1, 4});
         set_attribute(node, "auto_pad", std::string("SAME_LOWER"));
         set_attribute(node, "strides", Ints{2});
       }),
       {"y = Conv { group: 1, strides: [2], dilations: [1], pads: [2, 1] }(x, w) [1, 1, 3]"}},
      {"conv valid ignores pads", vision_model(17, {1, 1, 5}, {1, 1, 3}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = conv_node(m, {1, 1, 3});
         set_attribute(node, "auto_pad", std::string("VALID"));
       }),
       {"y = Conv { group: 1, strides: [1], dilations: [1], pads: [0, 0] }(x, w) [1, 1, 3]"}},
      {"depthwise conv with a bias", vision_model(17, {1, 2, 3, 3}, {1, 2, 3, 3}, [](onnx::ModelProto& m) {
         add_initializer(m, "w", {2, 1, 3, 3}, Floats(18, 1.0F));
         add_initializer(m, "bias", {2}, Floats{1, 2});
         onnx::NodeProto& node = add_node(m, "Conv", {"x", "w", "bias"}, {"y"});
         set_attribute(node, "group", std::int64_t{2});
         set_attribute(node, "pads", Ints{1, 1, 1, 1});
       }),
       {"y = Conv { group: 2, strides: [1, 1], dilations: [1, 1], pads: [1, 1, 1, 1] }(x, w, bias) [1, 2, 3, 3]"}},
      // Indices named but read by nothing are left uncomputed.
      {"max pool with unread indices", vision_model(12, {1, 1, 4, 4}, {1, 1, 2, 2}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = add_node(m, "MaxPool", {"x"}, {"y", "indices"});
         set_attribute(node, "kernel_shape", Ints{3, 3});
         set_attribute(node, "strides", Ints{2, 2});
         set_attribute(node, "ceil_mode", std::int64_t{1});
       }),
       {"y = MaxPool { kernel: [3, 3], strides: [2, 2], dilations: [1, 1], pads: [0, 0, 0, 0], ceil_mode: true }(x) "
        "[1, 1, 2, 2]"}},
      {"average pool at opset 7", vision_model(7, {1, 1, 4}, {1, 1, 3}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = add_node(m, "AveragePool", {"x"}, {"y"});
         set_attribute(node, "kernel_shape", Ints{2});
         set_attribute(node, "count_include_pad", std::int64_t{1});
       }),
       {"y = AveragePool { kernel: [2], strides: [1], pads: [0, 0], ceil_mode: false, count_include_pad: true }(x) "
        "[1, 1, 3]"}},
      {"global pools", vision_model(17, {2, 3, 4, 5}, {2, 3, 1, 1}, [](onnx::ModelProto& m) {
         add_node(m, "GlobalMaxPool", {"x"}, {"largest"});
         add_node(m, "GlobalAveragePool", {"largest"}, {"y"});
       }),
       {"largest = GlobalMaxPool(x) [2, 3, 1, 1]", "y = GlobalAveragePool(largest) [2, 3, 1, 1]"}},
      {"batch normalization at opset 7", vision_model(7, {2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         set_attribute(batch_norm_node(m, 3, {"y"}), "epsilon", 0.5F);
       }),
       {"y = BatchNormalization { epsilon: 0.5 }(x, s, b, m, v) [2, 3]"}},
      // DCR splits the channels as [block, block, depth]; CRD as [depth,
      // block, block].
      {"depth to space, DCR by default", vision_model(11, {1, 8, 2, 3}, {1, 2, 4, 6}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "DepthToSpace", {"x"}, {"y"}), "blocksize", std::int64_t{2});
       }),
       {"y/blocks = Reshape { shape: [1, 2, 2, 2, 2, 3] }(x) [1, 2, 2, 2, 2, 3]",
        "y/moved = Transpose { permutation: [0, 3, 4, 1, 5, 2] }(y/blocks) [1, 2, 2, 2, 3, 2]",
        "y = Reshape { shape: [1, 2, 4, 6] }(y/moved) [1, 2, 4, 6]"}},
      {"depth to space, CRD", vision_model(13, {1, 8, 2, 3}, {1, 2, 4, 6}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = add_node(m, "DepthToSpace", {"x"}, {"y"});
         set_attribute(node, "blocksize", std::int64_t{2});
         set_attribute(node, "mode", std::string("CRD"));
       }),
       {"y/blocks = Reshape { shape: [1, 2, 2, 2, 2, 3] }(x) [1, 2, 2, 2, 2, 3]",
        "y/moved = Transpose { permutation: [0, 1, 4, 2, 5, 3] }(y/blocks) [1, 2, 2, 2, 3, 2]",
        "y = Reshape { shape: [1, 2, 4, 6] }(y/moved) [1, 2, 4, 6]"}},
      {"space to depth", vision_model(7, {1, 2, 4, 6}, {1, 8, 2, 3}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "SpaceToDepth", {"x"}, {"y"}), "blocksize", std::int64_t{2});
       }),
       {"y/blocks = Reshape { shape: [1, 2, 2, 2, 3, 2] }(x) [1, 2, 2, 2, 3, 2]",
        "y/moved = Transpose { permutation: [0, 3, 5, 1, 2, 4] }(y/blocks) [1, 2, 2, 2, 2, 3]",
        "y = Reshape { shape: [1, 8, 2, 3] }(y/moved) [1, 8, 2, 3]"}},
      // 3 (3 - 1) + 3 = 9 rows and 2 (3 - 1) + 3 = 7 columns: output_shape
      // asks for one more of each, added at the end.
      {"conv transpose output_shape past the full output", vision_model(17, {1, 1, 3, 3}, {1, 2, 10, 8},
                                                                         [](onnx::ModelProto& m) {
         onnx::NodeProto& node = conv_transpose_node(m, {1, 2, 3, 3});
         set_attribute(node, "strides", Ints{3, 2});
         set_attribute(node, "output_shape", Ints{10, 8});
       }),
       {"y = ConvTranspose { group: 1, strides: [3, 2], dilations: [1, 1], pads: [0, 0, 0, 0], output_padding: [1, "
        "1] }(x, w) [1, 2, 10, 8]"}},
      // 2 (3 - 1) + 3 = 7 positions, 6 kept: the one cut goes after
      // (SAME_UPPER) or before (SAME_LOWER).
      {"conv transpose same upper", vision_model(17, {1, 1, 3}, {1, 1, 6}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = conv_transpose_node(m, {1, 1, 3});
         set_attribute(node, "strides", Ints{2});
         set_attribute(node, "auto_pad", std::string("SAME_UPPER"));
       }),
       {"y = ConvTranspose { group: 1, strides: [2], dilations: [1], pads: [0, 1], output_padding: [0] }(x, w) [1, 1, "
        "6]"}},
      {"conv transpose same lower", vision_model(11, {1, 1, 3}, {1, 1, 6}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = conv_transpose_node(m, {1, 1, 3});
         set_attribute(node, "strides", Ints{2});
         set_attribute(node, "auto_pad", std::string("SAME_LOWER"));
       }),
       {"y = ConvTranspose { group: 1, strides: [2], dilations: [1], pads: [1, 0], output_padding: [0] }(x, w) [1, 1, "
        "6]"}},
      {"upsample with its scales attribute", vision_model(7, {1, 1, 2, 3}, {1, 1, 4, 6}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "Upsample", {"x"}, {"y"}), "scales", Floats{1, 1, 2, 2});
       }),
       {"y = Resize { shape: [1, 1, 4, 6], scales: [1, 1, 2, 2], mode: \"nearest\", coordinate_transformation_mode: "
        "\"asymmetric\", nearest_mode: \"floor\" }(x) [1, 1, 4, 6]"}},
      // The output keeps floor(3 x 1.5) = 4 positions.
      {"upsample with its scales input", vision_model(9, {1, 3}, {2, 4}, [](onnx::ModelProto& m) {
         add_initializer(m, "s", {2}, Floats{2, 1.5F});
         set_attribute(add_node(m, "Upsample", {"x", "s"}, {"y"}), "mode", std::string("linear"));
       }),
       {"y = Resize { shape: [2, 4], scales: [2, 1.5], mode: \"linear\", coordinate_transformation_mode: "
        "\"asymmetric\", nearest_mode: \"floor\" }(x) [2, 4]"}},
      {"resize at opset 10", vision_model(10, {1, 1, 4}, {1, 1, 2}, [](onnx::ModelProto& m) {
         add_initializer(m, "s", {3}, Floats{1, 1, 0.6F});
         add_node(m, "Resize", {"x", "s"}, {"y"});
       }),
       {"y = Resize { shape: [1, 1, 2], scales: [1, 1, 0.6], mode: \"nearest\", coordinate_transformation_mode: "
        "\"asymmetric\", nearest_mode: \"floor\" }(x) [1, 1, 2]"}},
      // Sizes beside an empty roi and empty scales, as exporters write them.
      {"resize at opset 11 with sizes", vision_model(11, {1, 1, 3, 4}, {1, 1, 5, 7}, [](onnx::ModelProto& m) {
         add_initializer(m, "roi", {0}, Floats{});
         add_initializer(m, "no_scales", {0}, Floats{});
         onnx::NodeProto& node = resize_node(m, {}, {1, 1, 5, 7}, {"roi", "no_scales", "z"});
         set_attribute(node, "mode", std::string("linear"));
         set_attribute(node, "coordinate_transformation_mode", std::string("align_corners"));
       }),
       {"y = Resize { shape: [1, 1, 5, 7], scales: [], mode: \"linear\", coordinate_transformation_mode: "
        "\"align_corners\", nearest_mode: \"round_prefer_floor\" }(x) [1, 1, 5, 7]"}},
      {"resize at opset 13 with scales and no roi", vision_model(13, {2, 3}, {4, 3}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = resize_node(m, {2, 1}, {}, {"", "s"});
         set_attribute(node, "coordinate_transformation_mode", std::string("tf_half_pixel_for_nn"));
         set_attribute(node, "nearest_mode", std::string("ceil"));
         set_attribute(node, "exclude_outside", std::int64_t{1});
       }),
       {"y = Resize { shape: [4, 3], scales: [2, 1], mode: \"nearest\", coordinate_transformation_mode: "
        "\"tf_half_pixel_for_nn\", nearest_mode: \"ceil\" }(x) [4, 3]"}},
      // An even size takes one channel fewer before than after: none
      // before for size 2.
      {"lrn of size 2 over a matrix", vision_model(13, {2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = add_node(m, "LRN", {"x"}, {"y"});
         set_attribute(node, "size", std::int64_t{2});
         set_attribute(node, "alpha", 0.5F);
       }),
       {"y/squares = Mul(x, x) [2, 3]", "y/channels = Reshape { shape: [2, 1, 3, 1] }(y/squares) [2, 1, 3, 1]",
        "y/window = AveragePool { kernel: [2, 1], strides: [1, 1], pads: [0, 0, 1, 0], ceil_mode: false, "
        "count_include_pad: true }(y/channels) [2, 1, 3, 1]",
        "y/window_sum = Reshape { shape: [2, 3] }(y/window) [2, 3]", "y/scaled = Mul(y/window_sum, y/alpha) [2, 3]",
        "y/base = Add(y/scaled, y/bias) [2, 3]", "y/divisor = Pow(y/base, y/beta) [2, 3]",
        "y = Div(x, y/divisor) [2, 3]"}},
  };
  for (const MappingCase& test : cases) {
    SCOPED_TRACE(test.name);
    const Result<ImportedModel> imported = test_support::import_model(test.model);
    ASSERT_TRUE(imported) << imported.error();
    EXPECT_EQ(test_support::describe_ops(imported->graph), test.ops);
  }
}

// Conv (2 -> 2 channels, 1x1, with a bias) then BatchNormalization, both
// with uneven parameters; with `conv_also_output` the Conv's output is a
// graph output too, which keeps the two apart.
onnx::ModelProto conv_then_batch_norm(bool conv_also_output) {
  onnx::ModelProto m = vision_model(17, {1, 2, 2, 2}, {1, 2, 2, 2}, [](onnx::ModelProto& model) {
    add_initializer(model, "w", {2, 2, 1, 1}, Floats{0.5F, -1.25F, 2, 0.75F});
    add_initializer(model, "w_bias", {2}, Floats{0.1F, -0.3F});
    add_node(model, "Conv", {"x", "w", "w_bias"}, {"c"}, "/conv");
    add_initializer(model, "s", {2}, Floats{1.5F, -0.7F});
    add_initializer(model, "b", {2}, Floats{0.2F, 3});
    add_initializer(model, "m", {2}, Floats{-0.4F, 1.1F});
    add_initializer(model, "v", {2}, Floats{0.3F, 2.5F});
    set_attribute(add_node(model, "BatchNormalization", {"c", "s", "b", "m", "v"}, {"y"}, "/norm"), "epsilon", 0.01F);
  });
  if (conv_also_output) {
    add_output(m, "c", Dims{1, 2, 2, 2});
  }
  return m;
}

// The folded Conv computes what the two nodes compute, to float rounding,
// and is taken only when nothing else reads the Conv's output.
TEST(VisionOperators, BatchNormalizationFoldsIntoTheConvBeforeIt) {
  const Result<ImportedModel> folded = test_support::import_model(conv_then_batch_norm(false));
  const Result<ImportedModel> apart = test_support::import_model(conv_then_batch_norm(true));
  ASSERT_TRUE(folded) << folded.error();
  ASSERT_TRUE(apart) << apart.error();
  EXPECT_EQ(folded->fused, std::vector<std::string>{"batch normalization into conv at /conv"});
  EXPECT_EQ(test_support::describe_ops(folded->graph),
            std::vector<std::string>{"y = Conv { group: 1, strides: [1, 1], dilations: [1, 1], pads: [0, 0, 0, 0] }"
                                     "(x, y/filters, y/bias) [1, 2, 2, 2]"});
  EXPECT_TRUE(apart->fused.empty());
  EXPECT_EQ(apart->graph.ops.size(), 2U);

  const Floats x{1, -2, 0.5F, 3, -1, 4, 2.5F, -0.25F};
  const auto run = [&x](const ImportedModel& model) {
    TensorValues values = model.weights;
    values.emplace(model.graph.tensors.front().id, TensorData(x));
    Result<TensorValues> outputs = evaluate(model.graph, values);
    EXPECT_TRUE(outputs) << outputs.error();
    return outputs ? std::get<Floats>(outputs->at(model.graph.outputs.front())) : Floats{};
  };
  const Floats expected = run(*apart);
  const Floats actual = run(*folded);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], 1e-5F * std::max(1.0F, std::abs(expected[i]))) << i;
  }
}

// The model imported and evaluated on input x gives `expected` within 1e-5.
void expect_output(const onnx::ModelProto& model, const Floats& x, const Floats& expected) {
  const Result<ImportedModel> imported = test_support::import_model(model);
  ASSERT_TRUE(imported) << imported.error();
  TensorValues values = imported->weights;
  values.emplace(imported->graph.tensors.front().id, TensorData(x));
  const Result<TensorValues> outputs = evaluate(imported->graph, values);
  ASSERT_TRUE(outputs) << outputs.error();
  const Floats& actual = std::get<Floats>(outputs->at(imported->graph.outputs.front()));
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_NEAR(actual[i], expected[i], 1e-5F) << i;
  }
}

// PyTorch's F.interpolate on x [1, 1, 3, 4] as exported at opsets 11 and 13:
// nearest and bilinear with scale_factor=2 (constant scales), bilinear to
// sizes (5, 7) with align_corners and to (2, 3) without; the expected values
// are PyTorch's own.
struct InterpolateCase {
  const char* name;
  Floats scales;
  Ints sizes;
  std::string mode;
  std::string coordinates;
  Floats expected;
};

TEST(VisionOperators, ResizeMatchesPyTorchInterpolate) {
  const Floats x{1.3229998F, 0.5879999F, 0.14699997F, 0.0F,       0.14700003F, 0.5880001F,
                 1.3229998F, 2.3520005F, 3.6750002F,  5.2919993F, 7.2030005F,  9.408F};
  const InterpolateCase cases[] = {
      {"nearest", {1, 1, 2, 2}, {}, "nearest", "asymmetric",
       {1.3229998F,  1.3229998F,  0.5879999F,  0.5879999F,  0.14699997F, 0.14699997F, 0.0F,        0.0F,
        1.3229998F,  1.3229998F,  0.5879999F,  0.5879999F,  0.14699997F, 0.14699997F, 0.0F,        0.0F,
        0.14700003F, 0.14700003F, 0.5880001F,  0.5880001F,  1.3229998F,  1.3229998F,  2.3520005F,  2.3520005F,
        0.14700003F, 0.14700003F, 0.5880001F,  0.5880001F,  1.3229998F,  1.3229998F,  2.3520005F,  2.3520005F,
        3.6750002F,  3.6750002F,  5.2919993F,  5.2919993F,  7.2030005F,  7.2030005F,  9.408F,      9.408F,
        3.6750002F,  3.6750002F,  5.2919993F,  5.2919993F,  7.2030005F,  7.2030005F,  9.408F,      9.408F}},
      {"bilinear", {1, 1, 2, 2}, {}, "linear", "half_pixel",
       {1.3229998F, 1.1392498F,  0.77174985F, 0.4777499F,  0.25724995F, 0.11024998F, 0.036749993F, 0.0F,
        1.0289999F, 0.91874987F, 0.69824994F, 0.5512499F,  0.47774994F, 0.47774997F, 0.5512501F,   0.5880001F,
        0.44099998F, 0.47775F,   0.55125004F, 0.69825F,    0.9187499F,  1.21275F,    1.5802503F,   1.7640004F,
        1.029F,     1.2127501F,  1.5802499F,  2.02125F,    2.53575F,    3.1237502F,  3.7852502F,   4.116F,
        2.7930002F, 3.12375F,    3.7852497F,  4.52025F,    5.32875F,    6.21075F,    7.16625F,     7.644F,
        3.6750002F, 4.07925F,    4.8877497F,  5.7697496F,  6.7252502F,  7.7542505F,  8.8567505F,   9.408F}},
      {"bilinear align corners", {}, {1, 1, 5, 7}, "linear", "align_corners",
       {1.3229998F, 0.9554999F,  0.5879999F,  0.36749992F, 0.14699997F, 0.073499985F, 0.0F,
        0.73499995F, 0.6615F,    0.588F,      0.6615F,     0.7349999F,  0.95550007F,  1.1760002F,
        0.14700003F, 0.36750007F, 0.5880001F, 0.9555F,     1.3229998F,  1.8375001F,   2.3520005F,
        1.9110001F, 2.4255F,     2.9399998F,  3.6015F,     4.263F,      5.0715003F,   5.88F,
        3.6750002F, 4.4834995F,  5.2919993F,  6.2475F,     7.2030005F,  8.3055F,      9.408F}},
      {"bilinear down", {}, {1, 1, 2, 3}, "linear", "half_pixel",
       {0.9554999F, 0.5144999F, 0.5635001F, 3.0135002F, 4.9245F, 7.3255F}},
  };
  for (const InterpolateCase& c : cases) {
    for (const std::int64_t opset : {11, 13}) {
      SCOPED_TRACE(std::string(c.name) + " at opset " + std::to_string(opset));
      const Ints output_dims = c.sizes.empty() ? Ints{1, 1, 6, 8} : c.sizes;
      const Dims output(output_dims.begin(), output_dims.end());
      const onnx::ModelProto model = vision_model(opset, {1, 1, 3, 4}, output, [&c, opset](onnx::ModelProto& m) {
        std::vector<std::string> inputs;
        if (opset == 11) {
          add_initializer(m, "roi", {0}, Floats{});
          inputs.emplace_back("roi");
          if (c.scales.empty()) {
            add_initializer(m, "no_scales", {0}, Floats{});
            inputs.emplace_back("no_scales");
          }
        } else {
          inputs.emplace_back("");
          if (c.scales.empty()) {
            inputs.emplace_back("");
          }
        }
        inputs.emplace_back(c.scales.empty() ? "z" : "s");
        onnx::NodeProto& node = resize_node(m, c.scales, c.sizes, inputs);
        set_attribute(node, "mode", c.mode);
        set_attribute(node, "coordinate_transformation_mode", c.coordinates);
        set_attribute(node, "nearest_mode", std::string("floor"));
        set_attribute(node, "cubic_coeff_a", -0.75F);
      });
      expect_output(model, x, c.expected);
    }
  }
}

// PyTorch's F.instance_norm with weight and bias: on [1, 2, 3, 4] with the
// default epsilon, and on [2, 3, 5] (one spatial axis, two batch entries)
// with epsilon 0.01. The expected values are PyTorch's own.
struct InstanceNormCase {
  const char* name;
  Ints dims;
  Floats x;
  Floats scale;
  Floats bias;
  float epsilon;
  Floats expected;
};

TEST(VisionOperators, InstanceNormalizationMatchesPyTorch) {
  const InstanceNormCase cases[] = {
      {"2-d",
       {1, 2, 3, 4},
       {-0.600000024F, -0.230000019F, 0.139999986F, 0.50999999F,   0.879999995F, 1.25F,         -0.279999971F,
        0.0900001526F, 0.460000038F,  0.829999924F, 1.20000005F,   -0.329999804F, 0.0400000811F, 0.409999967F,
        0.780000329F,  1.15000021F,   -0.379999876F, -0.00999999046F, 0.359999895F, 0.730000257F, 1.10000014F,
        -0.429999948F, -0.0599995852F, 0.3100003F},
       {1.5F, -0.25F},
       {0.1F, 2.0F},
       1e-5F,
       {-2.2261126F,  -1.29734099F, -0.368569493F, 0.560202062F, 1.48897362F, 2.41774511F, -1.42285061F,
        -0.494078726F, 0.434692532F, 1.36346376F,  2.29223561F,  -1.54835987F, 2.1450088F, 1.96209991F,
        1.7791909F,   1.59628201F,  2.35263515F,  2.16972613F,  1.98681736F, 1.80390835F, 1.62099946F,
        2.37735248F,  2.19444346F,  2.01153469F}},
      {"1-d, two batch entries",
       {2, 3, 5},
       {-1.0F,         -0.470000029F, 0.0599999428F, 0.589999914F,  1.11999989F,   -0.650000095F, -0.120000124F,
        0.409999847F,  0.939999819F,  -0.830000401F, -0.300000191F, 0.230000019F,  0.759999752F,  1.28999949F,
        -0.480000257F, 0.0499999523F, 0.579999685F,  1.10999942F,   -0.660000801F, -0.130000114F, 0.399999619F,
        0.929999352F,  -0.839999914F, -0.310000181F, 0.219999552F,  0.749999285F,  1.27999902F,   -0.490000248F,
        0.039999485F,  0.569999218F},
       {1.0F, 0.5F, -2.0F},
       {0.0F, -1.0F, 0.25F},
       0.01F,
       {-1.40179265F, -0.700896323F, -2.95329983e-09F, 0.700896323F, 1.40179265F, -1.45073295F, -1.05258548F,
        -0.654437959F, -0.256290495F, -1.58595312F,   2.05293226F,  0.460341394F, -1.13224804F, -2.72483754F,
        2.59381223F,  -0.227528945F, 0.633832276F,    1.49519348F,  -1.38142967F, -0.520066977F, -0.739966214F,
        -0.309285402F, -1.74759686F, -1.31691611F,    -0.886235297F, -0.790135026F, -2.51285815F, 3.24038768F,
        1.51766443F,  -0.205058724F}},
  };
  for (const InstanceNormCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Dims dims(c.dims.begin(), c.dims.end());
    const onnx::ModelProto model = vision_model(17, dims, dims, [&c](onnx::ModelProto& m) {
      add_initializer(m, "scale", {c.dims[1]}, c.scale);
      add_initializer(m, "bias", {c.dims[1]}, c.bias);
      set_attribute(add_node(m, "InstanceNormalization", {"x", "scale", "bias"}, {"y"}, "/norm"), "epsilon",
                    c.epsilon);
    });
    expect_output(model, c.x, c.expected);
  }
}

struct ErrorCase {
  const char* name;
  onnx::ModelProto model;
  std::string error;
};

TEST(VisionOperators, RefusalTexts) {
  const ErrorCase cases[] = {
      {"batch normalization in training mode", vision_model(15, {2, 3, 4}, {2, 3, 4}, [](onnx::ModelProto& m) {
         set_attribute(batch_norm_node(m, 3, {"y"}, "/bn"), "training_mode", std::int64_t{1});
       }),
       "onnx: BatchNormalization node /bn: training mode (batch statistics, running mean and variance outputs) is "
       "not supported; only inference is"},
      {"batch normalization naming its running mean", vision_model(9, {2, 3, 4}, {2, 3, 4}, [](onnx::ModelProto& m) {
         batch_norm_node(m, 3, {"y", "mean", "variance", "saved_mean", "saved_variance"}, "/bn");
       }),
       "onnx: BatchNormalization node /bn: training mode (batch statistics, running mean and variance outputs) is "
       "not supported; only inference is"},
      {"batch normalization per activation", vision_model(7, {2, 3, 4}, {2, 3, 4}, [](onnx::ModelProto& m) {
         set_attribute(batch_norm_node(m, 3, {"y"}, "/bn"), "spatial", std::int64_t{0});
       }),
       "onnx: BatchNormalization node /bn: spatial 0 (statistics per activation) is not supported"},
      {"batch normalization parameters", vision_model(15, {2, 4, 4}, {2, 4, 4}, [](onnx::ModelProto& m) {
         batch_norm_node(m, 3, {"y"}, "/bn");
       }),
       "onnx: BatchNormalization node /bn: s [3] must be [4], one value per channel"},
      {"max pool indices read", vision_model(12, {1, 1, 4}, {1, 1, 2}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "MaxPool", {"x"}, {"pooled", "indices"}, "/pool"), "kernel_shape", Ints{3});
         add_node(m, "Cast", {"indices"}, {"y"}, "/cast");
         set_attribute(*m.mutable_graph()->mutable_node(1), "to", std::int64_t{1});
       }),
       "onnx: Cast node /cast: input indices is an output of node /pool that the importer does not compute"},
      {"conv kernel_shape differing from the filters", vision_model(17, {1, 1, 5}, {1, 1, 3}, [](onnx::ModelProto& m) {
         set_attribute(conv_node(m, {1, 1, 3}, "/conv"), "kernel_shape", Ints{2});
       }),
       "onnx: Conv node /conv: kernel_shape [2] differs from the filters' spatial dims [3]"},
      {"conv channels in groups", vision_model(17, {1, 4, 5}, {1, 2, 3}, [](onnx::ModelProto& m) {
         set_attribute(conv_node(m, {2, 4, 3}, "/conv"), "group", std::int64_t{2});
       }),
       "onnx: Conv node /conv: filters [2, 4, 3] do not suit input [1, 4, 5] in 2 groups"},
      {"conv pads of the wrong length", vision_model(17, {1, 1, 5, 5}, {1, 1, 3, 3}, [](onnx::ModelProto& m) {
         set_attribute(conv_node(m, {1, 1, 3, 3}, "/conv"), "pads", Ints{1, 1});
       }),
       "onnx: Conv node /conv: pads [1, 1] need 4 values for 2 spatial axes"},
      {"conv negative pads", vision_model(17, {1, 1, 5}, {1, 1, 3}, [](onnx::ModelProto& m) {
         set_attribute(conv_node(m, {1, 1, 3}, "/conv"), "pads", Ints{-1, 1});
       }),
       "onnx: Conv node /conv: pads [-1, 1] must be from 0 to 2^32 - 1"},
      {"conv stride 0", vision_model(17, {1, 1, 5}, {1, 1, 3}, [](onnx::ModelProto& m) {
         set_attribute(conv_node(m, {1, 1, 3}, "/conv"), "strides", Ints{0});
       }),
       "onnx: Conv node /conv: strides [0] must be from 1 to 2^32 - 1"},
      {"conv kernel larger than the padded input", vision_model(17, {1, 1, 2}, {1, 1, 1}, [](onnx::ModelProto& m) {
         conv_node(m, {1, 1, 3}, "/conv");
       }),
       "onnx: Conv node /conv: its window of extent 3 is larger than the padded input (2) on spatial axis 0"},
      {"conv auto_pad unknown", vision_model(17, {1, 1, 5}, {1, 1, 3}, [](onnx::ModelProto& m) {
         set_attribute(conv_node(m, {1, 1, 3}, "/conv"), "auto_pad", std::string("SAME"));
       }),
       "onnx: Conv node /conv: auto_pad must be NOTSET, SAME_UPPER, SAME_LOWER or VALID"},
      {"conv of a matrix", vision_model(17, {4, 5}, {4, 3}, [](onnx::ModelProto& m) {
         conv_node(m, {4, 3}, "/conv");
       }),
       "onnx: Conv node /conv: input [4, 5] must have rank 3 to 5 ([batch, channels, spatial axes...])"},
      // The graph kind refuses a window made of padding alone.
      {"max pool pads as large as the window", vision_model(17, {1, 1, 4}, {1, 1, 6}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = add_node(m, "MaxPool", {"x"}, {"y"}, "/pool");
         set_attribute(node, "kernel_shape", Ints{2});
         set_attribute(node, "pads", Ints{2, 1});
       }),
       "onnx: MaxPool node /pool: y: max_pool pads must be smaller than the window's extent 2 on spatial axis 0"},
      {"global pool of a matrix", vision_model(17, {2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_node(m, "GlobalAveragePool", {"x"}, {"y"}, "/pool");
       }),
       "onnx: GlobalAveragePool node /pool: input [2, 3] needs spatial axes ([batch, channels, spatial axes...])"},
      {"depth to space of too few channels", vision_model(13, {1, 6, 2, 2}, {1, 1, 4, 4}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "DepthToSpace", {"x"}, {"y"}, "/move"), "blocksize", std::int64_t{2});
       }),
       "onnx: DepthToSpace node /move: input [1, 6, 2, 2] needs channels divisible by blocksize 2 squared"},
      {"depth to space mode unknown", vision_model(13, {1, 4, 2, 2}, {1, 1, 4, 4}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = add_node(m, "DepthToSpace", {"x"}, {"y"}, "/move");
         set_attribute(node, "blocksize", std::int64_t{2});
         set_attribute(node, "mode", std::string("RCD"));
       }),
       "onnx: DepthToSpace node /move: mode must be DCR or CRD"},
      {"space to depth of an odd height", vision_model(13, {1, 1, 3, 4}, {1, 4, 1, 2}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "SpaceToDepth", {"x"}, {"y"}, "/move"), "blocksize", std::int64_t{2});
       }),
       "onnx: SpaceToDepth node /move: input [1, 1, 3, 4] needs height and width divisible by blocksize 2"},
      {"space to depth of rank 3", vision_model(13, {1, 2, 4}, {1, 2, 4}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "SpaceToDepth", {"x"}, {"y"}, "/move"), "blocksize", std::int64_t{1});
       }),
       "onnx: SpaceToDepth node /move: input [1, 2, 4] must have rank 4 ([batch, channels, height, width])"},
      {"space to depth blocksize 0", vision_model(13, {1, 1, 2, 2}, {1, 1, 2, 2}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "SpaceToDepth", {"x"}, {"y"}, "/move"), "blocksize", std::int64_t{0});
       }),
       "onnx: SpaceToDepth node /move: blocksize 0 must be from 1 to 2^32 - 1"},
      {"conv transpose output_shape needing padding before", vision_model(17, {1, 1, 3}, {1, 1, 8},
                                                                          [](onnx::ModelProto& m) {
         set_attribute(conv_transpose_node(m, {1, 1, 3}, "/up"), "output_shape", Ints{8});
       }),
       "onnx: ConvTranspose node /up: output of 8 positions on spatial axis 0 needs padding before it; only positions "
       "after the end can be added"},
      {"conv transpose filters per input channel", vision_model(17, {1, 2, 3}, {1, 1, 5}, [](onnx::ModelProto& m) {
         conv_transpose_node(m, {1, 1, 3}, "/up");
       }),
       "onnx: ConvTranspose node /up: filters [1, 1, 3] do not suit input [1, 2, 3] in 1 groups"},
      {"lrn of a vector", vision_model(13, {3}, {3}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "LRN", {"x"}, {"y"}, "/lrn"), "size", std::int64_t{3});
       }),
       "onnx: LRN node /lrn: input [3] must have rank 2 or more ([batch, channels, ...])"},
      {"resize scales at run time", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         add_input(m, "scales", Dims{2});
         resize_node(m, {}, {}, {"", "scales"});
       }),
       "onnx: Resize node /resize: scales input scales is computed at run time, but Resize is accepted only when its "
       "scales input is known at import"},
      {"upsample scales at run time", vision_model(9, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         add_input(m, "scales", Dims{2});
         add_node(m, "Upsample", {"x", "scales"}, {"y"}, "/up");
       }),
       "onnx: Upsample node /up: scales input scales is computed at run time, but Upsample is accepted only when its "
       "scales input is known at import"},
      {"resize sizes at run time", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         add_input(m, "sizes", Dims{2}, 7);
         resize_node(m, {}, {}, {"", "", "sizes"});
       }),
       "onnx: Resize node /resize: sizes input sizes is computed at run time, but Resize is accepted only when its "
       "sizes input is known at import"},
      {"resize cubic", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         set_attribute(resize_node(m, {1, 2}, {}, {"", "s"}), "mode", std::string("cubic"));
       }),
       "onnx: Resize node /resize: mode cubic is not supported (only nearest and linear)"},
      {"resize crop and resize", vision_model(11, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         add_initializer(m, "roi", {4}, Floats{0, 0, 1, 1});
         set_attribute(resize_node(m, {1, 2}, {}, {"roi", "s"}), "coordinate_transformation_mode",
                       std::string("tf_crop_and_resize"));
       }),
       "onnx: Resize node /resize: coordinate_transformation_mode tf_crop_and_resize is not supported"},
      {"resize unknown rounding", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         set_attribute(resize_node(m, {1, 2}, {}, {"", "s"}), "nearest_mode", std::string("simple"));
       }),
       "onnx: Resize node /resize: nearest_mode simple is not round_prefer_floor, round_prefer_ceil, floor or ceil"},
      {"resize scales and sizes", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         resize_node(m, {1, 2}, {1, 8}, {"", "s", "z"});
       }),
       "onnx: Resize node /resize: takes scales or sizes, not both"},
      {"resize neither scales nor sizes", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         resize_node(m, {}, {}, {});
       }),
       "onnx: Resize node /resize: needs scales or sizes"},
      {"resize scales per axis", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         resize_node(m, {2}, {}, {"", "s"});
       }),
       "onnx: Resize node /resize: scales [2] need one value per axis of input [1, 4] (2)"},
      {"resize negative scale", vision_model(13, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         resize_node(m, {1, -2}, {}, {"", "s"});
       }),
       "onnx: Resize node /resize: scales [1, -2] must be positive and finite"},
      // floor(4 x 0.2) = 0 positions.
      {"resize to nothing", vision_model(13, {1, 4}, {1, 1}, [](onnx::ModelProto& m) {
         resize_node(m, {1, 0.2F}, {}, {"", "s"});
       }),
       "onnx: Resize node /resize: output of 0 positions on axis 1 must be from 1 to 2^32 - 1"},
      {"instance normalization of a matrix", vision_model(17, {2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_initializer(m, "s", {3}, Floats{1, 1, 1});
         add_node(m, "InstanceNormalization", {"x", "s", "s"}, {"y"}, "/norm");
       }),
       "onnx: InstanceNormalization node /norm: input [2, 3] must have rank 3 or more ([batch, channels, spatial "
       "axes...])"},
      {"instance normalization bias per element", vision_model(17, {1, 2, 3}, {1, 2, 3}, [](onnx::ModelProto& m) {
         add_initializer(m, "s", {2}, Floats{1, 1});
         add_initializer(m, "b", {2, 3}, Floats(6, 0.0F));
         add_node(m, "InstanceNormalization", {"x", "s", "b"}, {"y"}, "/norm");
       }),
       "onnx: InstanceNormalization node /norm: bias b [2, 3] must be [2], one value per channel"},
      {"mean variance normalization axis twice", vision_model(13, {1, 2, 3}, {1, 2, 3}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "MeanVarianceNormalization", {"x"}, {"y"}, "/mvn"), "axes", Ints{1, -2});
       }),
       "onnx: MeanVarianceNormalization node /mvn: axis -2 is listed twice"},
      {"upsample scales per axis", vision_model(8, {1, 4}, {1, 8}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "Upsample", {"x"}, {"y"}, "/up"), "scales", Floats{1, 2, 2});
       }),
       "onnx: Upsample node /up: scales [1, 2, 2] need one value per axis of input [1, 4] (2)"},
  };
  for (const ErrorCase& test : cases) {
    SCOPED_TRACE(test.name);
    const Result<ImportedModel> imported = test_support::import_model(test.model);
    ASSERT_FALSE(imported);
    EXPECT_EQ(imported.error(), CompileError::graph(test.error));
  }
}

}  // namespace
}  // namespace orvo_compiler
