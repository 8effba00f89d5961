// The reduction and normalisation operators on small models: the graph
// operations each form maps to, the refusals with their texts, and
// LayerNormalization's mean and inverse deviation against its own output.
#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/model_builder.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler {
namespace {

using test_support::add_initializer;
using test_support::add_input;
using test_support::add_int64_constant;
using test_support::add_node;
using test_support::add_output;
using test_support::set_attribute;
using Ints = std::vector<std::int64_t>;
using Floats = std::vector<float>;
using Build = std::function<void(onnx::ModelProto&)>;
using Dims = std::vector<test_support::Dim>;

// A model with input x of `input` dims, the nodes `build` adds and an output
// y of `output` dims.
onnx::ModelProto model(const Dims& input, const Dims& output, const Build& build) {
  onnx::ModelProto result = test_support::make_model();
  add_input(result, "x", input);
  build(result);
  add_output(result, "y", output);
  return result;
}

struct MappingCase {
  const char* name;
  onnx::ModelProto model;
  std::vector<std::string> ops;
};

TEST(ReductionOperators, MapToTheirKinds) {
  const MappingCase cases[] = {
      {"reduce mean over a leading axis", model({2, 3}, {1, 3}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "ReduceMean", {"x"}, {"y"}), "axes", Ints{0});
       }),
       {"y = ReduceMeanAxes { axes: [0], keepdims: true }(x) [1, 3]"}},
      {"reduce mean over the last axis keeps its kind", model({2, 3}, {2, 1}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "ReduceMean", {"x"}, {"y"}), "axes", Ints{1});
       }),
       {"y = ReduceMean(x) [2, 1]"}},
      {"reduce sum over input axes, sorted", model({2, 3, 4}, {3}, [](onnx::ModelProto& m) {
         add_int64_constant(m, "axes", {2}, {-1, 0});
         set_attribute(add_node(m, "ReduceSum", {"x", "axes"}, {"y"}), "keepdims", std::int64_t{0});
       }),
       {"y = ReduceSum { axes: [0, 2], keepdims: false }(x) [3]"}},
      {"reduce sum without axes reduces every axis", model({2, 3}, {1, 1}, [](onnx::ModelProto& m) {
         add_node(m, "ReduceSum", {"x"}, {"y"});
       }),
       {"y = ReduceSum { axes: [0, 1], keepdims: true }(x) [1, 1]"}},
      {"reduce sum of empty axes with noop_with_empty_axes", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_int64_constant(m, "axes", {0}, {});
         set_attribute(add_node(m, "ReduceSum", {"x", "axes"}, {"s"}), "noop_with_empty_axes", std::int64_t{1});
         add_node(m, "Tanh", {"s"}, {"y"});
       }),
       {"y = Tanh(x) [2, 3]"}},
      {"reduce max without attributes", model({2, 3}, {1, 1}, [](onnx::ModelProto& m) {
         add_node(m, "ReduceMax", {"x"}, {"y"});
       }),
       {"y = ReduceMax { axes: [0, 1], keepdims: true }(x) [1, 1]"}},
      {"reduce log sum exp", model({2, 3}, {2}, [](onnx::ModelProto& m) {
         onnx::NodeProto& node = add_node(m, "ReduceLogSumExp", {"x"}, {"y"});
         set_attribute(node, "axes", Ints{-1});
         set_attribute(node, "keepdims", std::int64_t{0});
       }),
       {"y = ReduceLogSumExp { axes: [1], keepdims: false }(x) [2]"}},
      {"cum sum", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_int64_constant(m, "axis", {}, {-2});
         set_attribute(add_node(m, "CumSum", {"x", "axis"}, {"y"}), "exclusive", std::int64_t{1});
       }),
       {"y = CumSum { axis: 0, exclusive: true, reverse: false }(x) [2, 3]"}},
      {"log softmax on the last axis", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_node(m, "LogSoftmax", {"x"}, {"y"});
       }),
       {"y = LogSoftmax { axis: 1 }(x) [2, 3]"}},
      {"hardmax on axis 0", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "Hardmax", {"x"}, {"y"}), "axis", std::int64_t{0});
       }),
       {"y = Hardmax { axis: 0 }(x) [2, 3]"}},
      {"layer normalization from the first axis", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_initializer(m, "s", {2, 3}, Floats(6, 1.0F));
         set_attribute(add_node(m, "LayerNormalization", {"x", "s"}, {"y"}), "axis", std::int64_t{0});
       }),
       {"y/rows = Reshape { shape: [6] }(x) [6]", "y/normalized_rows = LayerNorm { epsilon: 1e-05 }(y/rows) [6]",
        "y/normalized = Reshape { shape: [2, 3] }(y/normalized_rows) [2, 3]", "y = Mul(y/normalized, s) [2, 3]"}},
  };
  for (const MappingCase& test : cases) {
    SCOPED_TRACE(test.name);
    const Result<ImportedModel> imported = test_support::import_model(test.model);
    ASSERT_TRUE(imported) << imported.error();
    EXPECT_EQ(test_support::describe_ops(imported->graph), test.ops);
  }
}

struct ErrorCase {
  const char* name;
  onnx::ModelProto model;
  std::string error;
};

TEST(ReductionOperators, RefusalTexts) {
  const ErrorCase cases[] = {
      {"reduce sum with run-time axes", model({2, 3}, {2, 1}, [](onnx::ModelProto& m) {
         add_input(m, "a", {1});
         add_node(m, "ReduceSum", {"x", "a"}, {"y"}, "/Sum");
       }),
       "onnx: ReduceSum node /Sum: axes input a is computed at run time, but ReduceSum is accepted only when its axes "
       "input is known at import"},
      {"an axis listed twice", model({2, 3}, {2, 1}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "ReduceL2", {"x"}, {"y"}, "/L2"), "axes", Ints{1, -1});
       }),
       "onnx: ReduceL2 node /L2: axis -1 is listed twice"},
      {"an axis out of range", model({2, 3}, {2, 1}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "ReduceMean", {"x"}, {"y"}, "/Mean"), "axes", Ints{2});
       }),
       "onnx: ReduceMean node /Mean: axis 2 is out of range for rank 2"},
      {"a reduction of no elements", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_initializer(m, "w", {2, 0}, {});
         add_node(m, "ReduceSum", {"w"}, {"nothing"}, "/Sum");
         add_node(m, "Tanh", {"x"}, {"y"});
       }),
       "onnx: ReduceSum node /Sum: reduces axis 1 of size 0; reductions of no elements are not supported"},
      {"cum sum over two axes", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         add_int64_constant(m, "axis", {2}, {0, 1});
         add_node(m, "CumSum", {"x", "axis"}, {"y"}, "/CumSum");
       }),
       "onnx: CumSum node /CumSum: axis input axis holds 2 values; it must hold one"},
      {"softmax axis out of range", model({2, 3}, {2, 3}, [](onnx::ModelProto& m) {
         set_attribute(add_node(m, "LogSoftmax", {"x"}, {"y"}, "/LogSoftmax"), "axis", std::int64_t{-3});
       }),
       "onnx: LogSoftmax node /LogSoftmax: axis -3 is out of range for rank 2"},
  };
  for (const ErrorCase& test : cases) {
    SCOPED_TRACE(test.name);
    const Result<ImportedModel> imported = test_support::import_model(test.model);
    ASSERT_FALSE(imported);
    EXPECT_EQ(imported.error(), CompileError::graph(test.error));
  }
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> out;
  for (const float value : values) {
    out.push_back(std::bit_cast<std::uint32_t>(value));
  }
  return out;
}

// The mean and inverse deviation outputs are those the normalised output was
// made with: y = (x - mean) x inverse bit for bit, over the last axis and
// over both axes, read by a later node and as graph outputs.
TEST(ReductionOperators, LayerNormalizationStatisticsMatchItsOutput) {
  struct Case {
    const char* name;
    std::int64_t axis;
    std::vector<std::int64_t> statistics;
  };
  const Case cases[] = {{"last axis", -1, {2, 1}}, {"both axes", 0, {1, 1}}};
  const Floats x = {1, 2, 4, -1, 0, 0.5F};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    onnx::ModelProto proto = test_support::make_model();
    add_input(proto, "x", {2, 3});
    add_initializer(proto, "s", {3}, Floats(3, 1.0F));
    set_attribute(add_node(proto, "LayerNormalization", {"x", "s"}, {"n", "mean", "inverse"}), "axis", c.axis);
    add_node(proto, "Tanh", {"mean"}, {"mean_tanh"});
    const Dims statistics{c.statistics[0], c.statistics[1]};
    add_output(proto, "n", Dims{2, 3});
    for (const char* output : {"mean", "inverse", "mean_tanh"}) {
      add_output(proto, output, statistics);
    }
    const Result<ImportedModel> imported = test_support::import_model(proto);
    ASSERT_TRUE(imported) << imported.error();
    const Graph& graph = imported->graph;
    TensorValues values = imported->weights;
    values[*tensor_by_name(graph, "x")] = x;
    const Result<TensorValues> outputs = evaluate(graph, values);
    ASSERT_TRUE(outputs) << outputs.error();
    const auto output = [&](const char* name) -> std::vector<float> {
      return std::get<std::vector<float>>(outputs->at(*tensor_by_name(graph, name, TensorKind::Output)));
    };
    const std::vector<float> mean = output("mean");
    const std::vector<float> inverse = output("inverse");
    EXPECT_EQ(graph.tensors[tensor_by_name(graph, "mean", TensorKind::Output)->index].shape,
              (Shape{static_cast<std::uint64_t>(c.statistics[0]), static_cast<std::uint64_t>(c.statistics[1])}));
    ASSERT_EQ(mean.size(), inverse.size());
    const std::size_t row = x.size() / mean.size();
    std::vector<float> expected;
    for (std::size_t index = 0; index < x.size(); ++index) {
      expected.push_back((x[index] - mean[index / row]) * inverse[index / row]);
    }
    EXPECT_EQ(bits(output("n")), bits(expected));
    // Over both axes the mean is 6.5 / 6 rounded once.
    if (c.axis == 0) {
      EXPECT_EQ(bits(mean), bits({6.5F / 6.0F}));
    }
  }
}

}  // namespace
}  // namespace orvo_compiler
