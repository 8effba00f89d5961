// import_onnx on small models written here: the operations each ONNX
// operator maps to (names, kinds, inputs, shapes), folded weights' values,
// the outputs' names, and the exact text of every error.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "onnx/model_builder.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler {
namespace {

using test_support::add_float_constant;
using test_support::add_initializer;
using test_support::add_input;
using test_support::add_int64_constant;
using test_support::add_int64_initializer;
using test_support::add_node;
using test_support::add_output;
using test_support::set_attribute;
using Ints = std::vector<std::int64_t>;
using Floats = std::vector<float>;
using Build = std::function<void(onnx::ModelProto&)>;

using Dims = std::vector<test_support::Dim>;
using Outputs = std::vector<std::pair<std::string, Dims>>;

// A model with one input x of `dims`, the nodes `build` adds, and `outputs`.
onnx::ModelProto unary_model(const Dims& dims, const Outputs& outputs, const Build& build) {
  onnx::ModelProto model = test_support::make_model();
  add_input(model, "x", dims);
  build(model);
  for (const auto& [name, shape] : outputs) {
    add_output(model, name, shape);
  }
  return model;
}

struct MappingCase {
  const char* name;
  onnx::ModelProto model;
  std::vector<std::string> ops;
  std::vector<std::pair<std::string, Floats>> weights = {};  // by weight name
  std::vector<std::string> outputs = {"y"};
  ImportOptions options = {};
};

std::vector<MappingCase> mapping_cases() {
  std::vector<MappingCase> cases;
  cases.push_back({"matmul of matrices", unary_model({2, 3}, {{"y", {2, 4}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "w", {3, 4}, Floats(12, 1.0F));
                     add_node(m, "MatMul", {"x", "w"}, {"y"});
                   }),
                   {"y = MatMul(x, w) [2, 4]"}});
  cases.push_back({"matmul of a 3-D value by a matrix goes through rows", unary_model({2, 3, 4}, {{"y", {2, 3, 5}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "w", {4, 5}, Floats(20, 1.0F));
                     add_node(m, "MatMul", {"x", "w"}, {"y"});
                   }),
                   {"y/rows = Reshape { shape: [6, 4] }(x) [6, 4]", "y/matmul = MatMul(y/rows, w) [6, 5]",
                    "y = Reshape { shape: [2, 3, 5] }(y/matmul) [2, 3, 5]"}});
  cases.push_back({"batched matmul broadcasts the matrix", unary_model({3, 4}, {{"y", {2, 3, 5}}}, [](onnx::ModelProto& m) {
                     add_input(m, "b", {2, 4, 5});
                     add_node(m, "MatMul", {"x", "b"}, {"y"});
                   }),
                   {"y/broadcast0 = Broadcast { shape: [2, 3, 4] }(x) [2, 3, 4]",
                    "y = BatchMatMul(y/broadcast0, b) [2, 3, 5]"}});
  cases.push_back({"matmul of a vector", unary_model({4}, {{"y", {5}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "w", {4, 5}, Floats(20, 1.0F));
                     add_node(m, "MatMul", {"x", "w"}, {"y"});
                   }),
                   {"y/row = Reshape { shape: [1, 4] }(x) [1, 4]", "y/product = MatMul(y/row, w) [1, 5]",
                    "y = Reshape { shape: [5] }(y/product) [5]"}});
  cases.push_back({"gemm with transB folds the transpose", unary_model({2, 3}, {{"y", {2, 2}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "w", {2, 3}, {1, 2, 3, 4, 5, 6});
                     add_initializer(m, "c", {2}, {0.5F, 0.25F});
                     set_attribute(add_node(m, "Gemm", {"x", "w", "c"}, {"y"}), "transB", std::int64_t{1});
                   }),
                   {"y/product = MatMul(x, w/transposed) [2, 2]", "y = Add(y/product, c) [2, 2]"},
                   {{"w/transposed", {1, 4, 2, 5, 3, 6}}, {"c", {0.5F, 0.25F}}}});
  cases.push_back({"gemm alpha and beta fold into constants", unary_model({2, 3}, {{"y", {2, 1}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "w", {3, 1}, {1, 2, 3});
                     add_initializer(m, "c", {2, 1}, {1, -1});
                     onnx::NodeProto& gemm = add_node(m, "Gemm", {"x", "w", "c"}, {"y"});
                     set_attribute(gemm, "alpha", 0.5F);
                     set_attribute(gemm, "beta", 4.0F);
                   }),
                   {"y/product = MatMul(x, w/scaled) [2, 1]", "y = Add(y/product, c/scaled) [2, 1]"},
                   {{"w/scaled", {0.5F, 1, 1.5F}}, {"c/scaled", {4, -4}}}});
  cases.push_back({"gemm alpha on run-time operands, transA", unary_model({3, 2}, {{"y", {2, 4}}}, [](onnx::ModelProto& m) {
                     add_input(m, "b", {3, 4});
                     onnx::NodeProto& gemm = add_node(m, "Gemm", {"x", "b"}, {"y"});
                     set_attribute(gemm, "transA", std::int64_t{1});
                     set_attribute(gemm, "alpha", 2.0F);
                   }),
                   {"y/transpose_a = Transpose { permutation: [1, 0] }(x) [2, 3]",
                    "y/product = MatMul(y/transpose_a, b) [2, 4]", "y = Mul(y/product, y/alpha) [2, 4]"},
                   {{"y/alpha", {2}}}});
  cases.push_back({"add with the bias first", unary_model({2, 3}, {{"y", {2, 3}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "bias", {3}, {1, 2, 3});
                     add_node(m, "Add", {"bias", "x"}, {"y"});
                   }),
                   {"y = Add(bias, x) [2, 3]"}});
  cases.push_back({"both operands broadcast", unary_model({2, 1}, {{"y", {2, 3}}}, [](onnx::ModelProto& m) {
                     add_input(m, "b", {1, 3});
                     add_node(m, "Sub", {"x", "b"}, {"y"});
                   }),
                   {"y = Sub(x, b) [2, 3]"}});
  cases.push_back({"a rank-0 constant is a weight of shape [1]", unary_model({2, 3}, {{"y", {2, 3}}}, [](onnx::ModelProto& m) {
                     add_float_constant(m, "k", {}, {2.0F});
                     add_node(m, "Div", {"x", "k"}, {"y"});
                   }),
                   {"y = Div(x, k) [2, 3]"},
                   {{"k", {2.0F}}}});
  cases.push_back({"reshape copies 0 and infers -1", unary_model({2, 3, 4}, {{"y", {2, 12}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "shape", {2}, {0, -1});
                     add_node(m, "Reshape", {"x", "shape"}, {"y"});
                   }),
                   {"y = Reshape { shape: [2, 12] }(x) [2, 12]"}});
  cases.push_back({"transpose without perm reverses the axes", unary_model({2, 3, 4}, {{"y", {4, 3, 2}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Transpose", {"x"}, {"y"});
                   }),
                   {"y = Transpose { permutation: [2, 1, 0] }(x) [4, 3, 2]"}});
  cases.push_back({"softmax on a negative axis", unary_model({2, 3, 4}, {{"y", {2, 3, 4}}}, [](onnx::ModelProto& m) {
                     set_attribute(add_node(m, "Softmax", {"x"}, {"y"}), "axis", std::int64_t{-2});
                   }),
                   {"y = Softmax { axis: 1 }(x) [2, 3, 4]"}});
  cases.push_back({"softmax without an axis takes the last", unary_model({2, 3, 4}, {{"y", {2, 3, 4}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Softmax", {"x"}, {"y"});
                   }),
                   {"y = Softmax { axis: 2 }(x) [2, 3, 4]"}});
  cases.push_back({"layer normalization with scale and bias", unary_model({2, 4}, {{"y", {2, 4}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "s", {4}, Floats(4, 2.0F));
                     add_initializer(m, "b", {4}, Floats(4, 1.0F));
                     set_attribute(add_node(m, "LayerNormalization", {"x", "s", "b"}, {"y"}), "epsilon", 0.001F);
                   }),
                   {"y/normalized = LayerNorm { epsilon: 0.001 }(x) [2, 4]",
                    "y/scaled = Mul(y/normalized, s) [2, 4]", "y = Add(y/scaled, b) [2, 4]"}});
  cases.push_back({"layer normalization without epsilon takes 1e-5", unary_model({2, 4}, {{"y", {2, 4}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "s", {4}, Floats(4, 2.0F));
                     add_node(m, "LayerNormalization", {"x", "s"}, {"y"});
                   }),
                   {"y/normalized = LayerNorm { epsilon: 1e-05 }(x) [2, 4]",
                    "y = Mul(y/normalized, s) [2, 4]"}});
  cases.push_back({"erf, tanh and sqrt", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Erf", {"x"}, {"e"});
                     add_node(m, "Tanh", {"e"}, {"t"});
                     add_node(m, "Sqrt", {"t"}, {"y"});
                   }),
                   {"e = Erf(x) [2]", "t = Tanh(e) [2]", "y = Sqrt(t) [2]"}});
  cases.push_back({"functions of one tensor take their attributes, else the defaults", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     set_attribute(add_node(m, "LeakyRelu", {"x"}, {"l"}), "alpha", 0.25F);
                     set_attribute(add_node(m, "HardSigmoid", {"l"}, {"h"}), "beta", 0.75F);
                     add_node(m, "Relu", {"h"}, {"r"});
                     add_node(m, "Sigmoid", {"r"}, {"y"});
                   }),
                   {"l = LeakyRelu { alpha: 0.25 }(x) [2]", "h = HardSigmoid { alpha: 0.2, beta: 0.75 }(l) [2]",
                    "r = Relu(h) [2]", "y = Sigmoid(r) [2]"}});
  cases.push_back({"clip bounds from inputs, an omitted one the largest float", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     add_float_constant(m, "low", {}, {-1.0F});
                     add_node(m, "Clip", {"x", "low"}, {"c"});
                     add_float_constant(m, "high", {}, {6.0F});
                     add_node(m, "Clip", {"c", "", "high"}, {"y"});
                   }),
                   {"c = Clip { min: -1, max: 3.40282e+38 }(x) [2]", "y = Clip { min: -3.40282e+38, max: 6 }(c) [2]"}});
  cases.push_back({"pow with another exponent, and one that enlarges the base", unary_model({2}, {{"y", {2, 2}}}, [](onnx::ModelProto& m) {
                     add_float_constant(m, "e", {}, {2.5F});
                     add_node(m, "Pow", {"x", "e"}, {"p"});
                     add_float_constant(m, "two", {2, 1}, {2.0F, 2.0F});
                     add_node(m, "Pow", {"p", "two"}, {"y"});
                   }),
                   {"p = Pow(x, e) [2]", "y = Pow(p, two) [2, 2]"}});
  cases.push_back({"clip with a run-time bound as max, then min", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     add_input(m, "low", {1});
                     add_float_constant(m, "high", {}, {6.0F});
                     add_node(m, "Clip", {"x", "low", "high"}, {"y"});
                   }),
                   {"y/raised = Max(x, low) [2]", "y = Min(y/raised, high) [2]"}});
  cases.push_back({"equal and where at run time, variadic sum", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     add_float_constant(m, "zero", {}, {0.0F});
                     add_node(m, "Equal", {"x", "zero"}, {"is_zero"});
                     add_node(m, "Where", {"is_zero", "zero", "x"}, {"w"});
                     add_node(m, "Sum", {"w", "x", "zero"}, {"y"});
                   }),
                   {"is_zero = Equal(x, zero) [2]", "w = Where(is_zero, zero, x) [2]", "y = Sum(w, x, zero) [2]"}});
  cases.push_back({"pow 2 and 3 as products", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     add_float_constant(m, "two", {}, {2.0F});
                     add_float_constant(m, "three", {1}, {3.0F});
                     add_node(m, "Pow", {"x", "two"}, {"p"});
                     add_node(m, "Pow", {"p", "three"}, {"y"});
                   }),
                   {"p = Mul(x, x) [2]", "y/square = Mul(p, p) [2]", "y = Mul(y/square, p) [2]"}});
  cases.push_back({"reduce mean without keepdims", unary_model({2, 3}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     onnx::NodeProto& mean = add_node(m, "ReduceMean", {"x"}, {"y"});
                     set_attribute(mean, "axes", Ints{-1});
                     set_attribute(mean, "keepdims", std::int64_t{0});
                   }),
                   {"y/mean = ReduceMean(x) [2, 1]", "y = Reshape { shape: [2] }(y/mean) [2]"}});
  cases.push_back({"slice on two axes, an end past the size clamped", unary_model({4, 6}, {{"y", {2, 4}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "starts", {2}, {1, 2});
                     add_int64_constant(m, "ends", {2}, {3, 100});
                     add_int64_constant(m, "axes", {2}, {0, -1});
                     add_node(m, "Slice", {"x", "starts", "ends", "axes"}, {"y"});
                   }),
                   {"y/axis0 = Slice { axis: 0, start: 1, end: 3 }(x) [2, 6]",
                    "y = Slice { axis: 1, start: 2, end: 6 }(y/axis0) [2, 4]"}});
  cases.push_back({"split into named pieces", unary_model({2, 6}, {{"a", {2, 2}}, {"b", {2, 4}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "split", {2}, {2, 4});
                     set_attribute(add_node(m, "Split", {"x", "split"}, {"a", "b"}), "axis", std::int64_t{1});
                   }),
                   {"a = Slice { axis: 1, start: 0, end: 2 }(x) [2, 2]", "b = Slice { axis: 1, start: 2, end: 6 }(x) [2, 4]"},
                   {},
                   {"a", "b"}});
  cases.push_back({"unsqueeze and squeeze reshape", unary_model({2, 3}, {{"y", {2, 3}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "axes", {1}, {0});
                     add_node(m, "Unsqueeze", {"x", "axes"}, {"u"});
                     add_node(m, "Squeeze", {"u"}, {"y"});
                   }),
                   {"u = Reshape { shape: [1, 2, 3] }(x) [1, 2, 3]", "y = Reshape { shape: [2, 3] }(u) [2, 3]"}});
  cases.push_back({"slice backwards by 2", unary_model({2, 3}, {{"y", {2, 2}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "starts", {1}, {-1});
                     add_int64_constant(m, "ends", {1}, {-100});
                     add_int64_constant(m, "axes", {1}, {1});
                     add_int64_constant(m, "steps", {1}, {-2});
                     add_node(m, "Slice", {"x", "starts", "ends", "axes", "steps"}, {"y"});
                   }),
                   {"y = StridedSlice { starts: [0, 2], steps: [1, -2], shape: [2, 2] }(x) [2, 2]"}});
  cases.push_back({"pad with its default value", unary_model({2, 3}, {{"y", {2, 4}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "pads", {4}, {0, 1, 0, 0});
                     add_node(m, "Pad", {"x", "pads"}, {"y"});
                   }),
                   {"y = Pad { pads: [0, 1, 0, 0], mode: \"constant\" }(x, y/pad_value) [2, 4]"},
                   {{"y/pad_value", {0}}}});
  cases.push_back({"a cast that keeps the element type is dropped", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     set_attribute(add_node(m, "Cast", {"x"}, {"c"}), "to", std::int64_t{1});
                     add_node(m, "Tanh", {"c"}, {"y"});
                   }),
                   {"y = Tanh(x) [2]"}});
  cases.push_back({"concat, tile and flatten", unary_model({2, 3}, {{"y", {4, 9}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "repeats", {2}, {1, 3});
                     add_node(m, "Tile", {"x", "repeats"}, {"t"});
                     set_attribute(add_node(m, "Concat", {"t", "t"}, {"c"}), "axis", std::int64_t{-2});
                     add_node(m, "Flatten", {"c"}, {"y"});
                   }),
                   {"t = Tile { repeats: [1, 3] }(x) [2, 9]", "c = Concat { axis: 0 }(t, t) [4, 9]",
                    "y = Reshape { shape: [4, 9] }(c) [4, 9]"}});
  cases.push_back({"expand broadcasts", unary_model({3}, {{"y", {2, 3}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "shape", {2}, {2, 1});
                     add_node(m, "Expand", {"x", "shape"}, {"y"});
                   }),
                   {"y = Broadcast { shape: [2, 3] }(x) [2, 3]"}});
  cases.push_back({"identity and cast to float drop; the output keeps its name", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Tanh", {"x"}, {"t"});
                     set_attribute(add_node(m, "Cast", {"t"}, {"c"}), "to", std::int64_t{1});
                     add_node(m, "Identity", {"c"}, {"y"});
                   }),
                   {"y = Tanh(x) [2]"}});
  cases.push_back({"an output that is the input is a copy", unary_model({2}, {{"y", {2}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Identity", {"x"}, {"y"});
                   }),
                   {"y = Reshape { shape: [2] }(x) [2]"}});
  cases.push_back({"identity of an initializer reads the initializer", unary_model({2, 3}, {{"y", {2, 1}}}, [](onnx::ModelProto& m) {
                     add_initializer(m, "w", {3, 1}, {1, 2, 3});
                     add_node(m, "Identity", {"w"}, {"w_copy"});
                     add_node(m, "MatMul", {"x", "w_copy"}, {"y"});
                   }),
                   {"y = MatMul(x, w) [2, 1]"},
                   {{"w", {1, 2, 3}}}});
  cases.push_back({"a reshape target computed from the bound shape", unary_model({"batch", 4}, {{"y", {"batch", 2, 2}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Shape", {"x"}, {"shape"});
                     add_int64_constant(m, "zero", {}, {0});
                     add_node(m, "Gather", {"shape", "zero"}, {"rows"});
                     add_int64_constant(m, "axes", {1}, {0});
                     add_node(m, "Unsqueeze", {"rows", "axes"}, {"rows_1d"});
                     add_int64_constant(m, "two", {1}, {2});
                     set_attribute(add_node(m, "Concat", {"rows_1d", "two", "two"}, {"target"}), "axis", std::int64_t{0});
                     add_node(m, "Reshape", {"x", "target"}, {"y"});
                   }),
                   {"y = Reshape { shape: [3, 2, 2] }(x) [3, 2, 2]"},
                   {},
                   {"y"},
                   ImportOptions{{{"batch", 3}}}});
  cases.push_back({"slice bounds from int64 arithmetic", unary_model({2, 9}, {{"y", {2, 3}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Shape", {"x"}, {"shape"});
                     add_int64_constant(m, "last", {1}, {-1});
                     add_node(m, "Gather", {"shape", "last"}, {"width"});
                     add_int64_constant(m, "two", {1}, {2});
                     add_int64_constant(m, "three", {1}, {3});
                     add_node(m, "Add", {"width", "two"}, {"width_2"});
                     add_node(m, "Div", {"width_2", "three"}, {"third"});
                     add_node(m, "Mul", {"third", "two"}, {"end"});
                     add_node(m, "Slice", {"x", "third", "end", "last"}, {"y"});
                   }),
                   {"y = Slice { axis: 1, start: 3, end: 6 }(x) [2, 3]"}});
  return cases;
}

TEST(ImportOnnx, MapsEachOperator) {
  for (const MappingCase& test : mapping_cases()) {
    SCOPED_TRACE(test.name);
    const Result<ImportedModel> model = test_support::import_model(test.model, test.options);
    ASSERT_TRUE(model) << model.error();
    EXPECT_EQ(test_support::describe_ops(model->graph), test.ops);
    std::vector<std::string> outputs;
    for (const TensorId output : model->graph.outputs) {
      outputs.push_back(model->graph.tensors[output.index].name);
    }
    EXPECT_EQ(outputs, test.outputs);
    for (const auto& [name, values] : test.weights) {
      const auto tensor = std::ranges::find(model->graph.tensors, name, &Tensor::name);
      ASSERT_NE(tensor, model->graph.tensors.end()) << name;
      EXPECT_EQ(tensor->kind, TensorKind::Weight) << name;
      EXPECT_EQ(model->weights.at(tensor->id), TensorData(values)) << name;
    }
  }
}

// An output that is a graph input passes the value through: the input stays
// an input (not turned into the output) and the output, a copy under the same
// name, evaluates to the input's values; one listed twice is copied twice.
TEST(ImportOnnx, AnInputThatIsAnOutputPassesThrough) {
  onnx::ModelProto model = test_support::make_model();
  add_input(model, "x", {2, 3});
  add_input(model, "unused", {4});
  add_output(model, "x", Dims{2, 3});
  add_output(model, "x", Dims{2, 3});
  const Result<ImportedModel> imported = test_support::import_model(model);
  ASSERT_TRUE(imported) << imported.error();
  const Graph& graph = imported->graph;
  std::vector<std::string> inputs;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.kind == TensorKind::Input) {
      inputs.push_back(tensor.name);
    }
  }
  EXPECT_EQ(inputs, (std::vector<std::string>{"x", "unused"}));
  EXPECT_EQ(test_support::describe_ops(graph),
            (std::vector<std::string>{"x = Reshape { shape: [2, 3] }(x) [2, 3]", "x = Reshape { shape: [2, 3] }(x) [2, 3]"}));
  ASSERT_EQ(graph.outputs.size(), 2U);
  const Floats values{1, -2, 3, -4, 5, -6};
  TensorValues given;
  given.emplace(TensorId{0}, values);
  given.emplace(TensorId{1}, Floats(4, 0.0F));
  const Result<TensorValues> evaluated = evaluate(graph, given);
  ASSERT_TRUE(evaluated) << evaluated.error();
  for (const TensorId output : graph.outputs) {
    EXPECT_EQ(evaluated->at(output), TensorData(values));
  }
}

// Inputs, weights and outputs of each element type: INT64 and INT32 inputs are
// I64 (INT32 widened), BOOL ones Bool; an integer initializer used at run time
// becomes an I64 weight holding its values; the values pass through data
// movement and integer arithmetic to outputs of those types.
TEST(ImportOnnx, TypedInputsWeightsAndOutputs) {
  onnx::ModelProto model = test_support::make_model();
  add_input(model, "ids", {2, 3}, onnx::TensorProto_DataType_INT64);
  add_input(model, "positions", {3}, onnx::TensorProto_DataType_INT32);
  add_input(model, "mask", {2, 3}, onnx::TensorProto_DataType_BOOL);
  add_int64_initializer(model, "offset", {3}, {10, -20, 1LL << 40});
  add_node(model, "Add", {"ids", "offset"}, {"shifted"});
  add_node(model, "Sub", {"shifted", "positions"}, {"moved"});
  set_attribute(add_node(model, "Transpose", {"mask"}, {"flipped"}), "perm", Ints{1, 0});
  add_output(model, "moved", Dims{2, 3}, onnx::TensorProto_DataType_INT64);
  add_output(model, "flipped", Dims{3, 2}, onnx::TensorProto_DataType_BOOL);
  const Result<ImportedModel> imported = test_support::import_model(model);
  ASSERT_TRUE(imported) << imported.error();
  const Graph& graph = imported->graph;

  std::vector<std::pair<std::string, DType>> typed;
  for (const Tensor& tensor : graph.tensors) {
    if (tensor.kind != TensorKind::Intermediate) {
      typed.emplace_back(tensor.name, tensor.dtype);
    }
  }
  const std::vector<std::pair<std::string, DType>> expected_types{
      {"ids", DType::I64},   {"positions", DType::I64}, {"mask", DType::Bool},
      {"offset", DType::I64}, {"moved", DType::I64},     {"flipped", DType::Bool}};
  EXPECT_EQ(typed, expected_types);
  const auto id_of = [&graph](std::string_view name) { return std::ranges::find(graph.tensors, name, &Tensor::name)->id; };
  EXPECT_EQ(imported->weights.at(id_of("offset")), TensorData(std::vector<std::int64_t>{10, -20, 1LL << 40}));

  TensorValues values = imported->weights;
  values.emplace(TensorId{0}, std::vector<std::int64_t>{1, 2, 3, 4, 5, 6});
  values.emplace(TensorId{1}, std::vector<std::int64_t>{0, 1, 2});
  values.emplace(TensorId{2}, std::vector<std::uint8_t>{1, 1, 0, 0, 0, 1});
  const Result<TensorValues> evaluated = evaluate(graph, values);
  ASSERT_TRUE(evaluated) << evaluated.error();
  ASSERT_EQ(graph.outputs.size(), 2U);
  EXPECT_EQ(evaluated->at(graph.outputs[0]),
            TensorData(std::vector<std::int64_t>{11, -19, (1LL << 40) + 1, 14, -16, (1LL << 40) + 4}));
  EXPECT_EQ(evaluated->at(graph.outputs[1]), TensorData(std::vector<std::uint8_t>{1, 0, 1, 0, 0, 1}));
}

struct ErrorCase {
  const char* name;
  onnx::ModelProto model;
  std::string error;
};

// A model with input x [2, 3] (FLOAT) and a [2, 3] output y computed by `build`.
onnx::ModelProto model_with(const Build& build) { return unary_model({2, 3}, {{"y", {2, 3}}}, build); }

std::vector<ErrorCase> error_cases() {
  std::vector<ErrorCase> cases;
  const auto tanh_model = [](std::int64_t opset) {
    onnx::ModelProto model = test_support::make_model(opset);
    add_input(model, "x", {2});
    add_node(model, "Tanh", {"x"}, {"y"});
    add_output(model, "y", Dims{2});
    return model;
  };
  cases.push_back({"opset below 7", tanh_model(6), "onnx: opset 6 of the default domain is not supported (7 to 17 are)"});
  cases.push_back({"opset above 17", tanh_model(18), "onnx: opset 18 of the default domain is not supported (7 to 17 are)"});
  onnx::ModelProto early_trilu = tanh_model(13);
  early_trilu.mutable_graph()->mutable_node(0)->set_op_type("Trilu");
  cases.push_back({"an operator registered only for later opsets", early_trilu,
                   "onnx: unsupported operators: Trilu (first node y; accepted at opsets 14 to 17, not 13)"});
  onnx::ModelProto foreign = tanh_model(17);
  foreign.mutable_opset_import(0)->set_domain("ai.onnx.ml");
  cases.push_back({"no default-domain opset", foreign, "onnx: the model imports no opset of the default domain"});
  onnx::ModelProto unversioned = tanh_model(17);
  unversioned.clear_ir_version();
  cases.push_back({"the checker's own verdict", unversioned,
                   "onnx: the ONNX checker rejects the model: The model does not have an ir_version set properly."});

  cases.push_back({"duplicate initializers", model_with([](onnx::ModelProto& m) {
                     add_initializer(m, "w", {1}, {1});
                     add_initializer(m, "w", {1}, {2});
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: tensor name w is defined twice"});
  cases.push_back({"a node output named as the input", model_with([](onnx::ModelProto& m) {
                     add_node(m, "Tanh", {"x"}, {"x"});
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: tensor name x is defined twice"});
  cases.push_back({"an input that names nothing", model_with([](onnx::ModelProto& m) {
                     add_node(m, "Add", {"x", "bias"}, {"y"}, "/act/Add");
                   }),
                   "onnx: Add node /act/Add: input bias is not a graph input, an initializer or an output of an "
                   "earlier node"});
  onnx::ModelProto missing_output = model_with([](onnx::ModelProto& m) { add_node(m, "Tanh", {"x"}, {"y"}); });
  add_output(missing_output, "z", Dims{2, 3});
  cases.push_back({"an output nothing computes", missing_output, "onnx: graph output z is computed by no node"});
  cases.push_back({"unsupported operators, one of another domain", model_with([](onnx::ModelProto& m) {
                     add_node(m, "Det", {"x"}, {"r"}, "/act/Det");
                     add_node(m, "FastGelu", {"r"}, {"g"}, "/act/FastGelu").set_domain("com.microsoft");
                     add_node(m, "Det", {"g"}, {"y"}, "/act/Det_1");
                   }),
                   "onnx: unsupported operators: Det (first node /act/Det), com.microsoft.FastGelu (first node "
                   "/act/FastGelu)"});
  cases.push_back({"an operator given too few inputs", model_with([](onnx::ModelProto& m) {
                     add_node(m, "Gather", {"x"}, {"y"}, "/Gather");
                   }),
                   "onnx: Gather node /Gather: takes 2 inputs, not 1"});

  onnx::ModelProto double_input = test_support::make_model();
  add_input(double_input, "x", {2}, onnx::TensorProto_DataType_DOUBLE);
  add_node(double_input, "Cast", {"x"}, {"y"});
  set_attribute(*double_input.mutable_graph()->mutable_node(0), "to", std::int64_t{1});
  add_output(double_input, "y", Dims{2});
  cases.push_back({"a double input", double_input,
                   "onnx: input x has element type DOUBLE; only FLOAT, INT64, INT32 and BOOL inputs are supported"});
  cases.push_back({"a scalar computed at run time", unary_model({}, {{"y", {}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: Tanh node y: output y would have shape []; values computed at run time need at least one "
                   "axis and no zero dimension"});
  // Dropout in training mode drops values at random, which the importer
  // cannot reproduce: refused unless the ratio is known to be 0.
  onnx::ModelProto training = test_support::make_model(13);
  add_input(training, "x", {2});
  add_initializer(training, "ratio", {}, Floats{0.5F});
  add_int64_initializer(training, "training", {}, {1});
  add_node(training, "Dropout", {"x", "ratio", "training"}, {"y"}, "/drop");
  add_output(training, "y", Dims{2});
  cases.push_back({"dropout in training mode", training,
                   "onnx: Dropout node /drop: training mode drops values at random, which is not supported; only "
                   "inference (or a ratio of 0) is"});
  onnx::ModelProto training_at_run_time = test_support::make_model(13);
  add_input(training_at_run_time, "x", {2});
  add_input(training_at_run_time, "training", {}, onnx::TensorProto_DataType_BOOL);
  add_node(training_at_run_time, "Dropout", {"x", "", "training"}, {"y"}, "/drop");
  add_output(training_at_run_time, "y", Dims{2});
  cases.push_back({"dropout's training mode given at run time", training_at_run_time,
                   "onnx: Dropout node /drop: training_mode is given at run time; only inference (training_mode "
                   "known to be false) is supported"});
  cases.push_back({"a zero dimension", unary_model({2, 0}, {{"y", {2, 0}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: input x has dimension 0 at axis 1; dimensions must be 1 to 4294967296"});
  onnx::ModelProto integer_output = test_support::make_model();
  add_input(integer_output, "x", {2});
  add_node(integer_output, "Tanh", {"x"}, {"y"});
  add_output(integer_output, "y", Dims{2}, onnx::TensorProto_DataType_INT64);
  cases.push_back({"an output declared of another type", integer_output,
                   "onnx: graph output y is computed as F32, but the model declares it INT64"});
  onnx::ModelProto constant_output = test_support::make_model();
  add_input(constant_output, "x", {2});
  add_node(constant_output, "Shape", {"x"}, {"y"});
  add_output(constant_output, "y", Dims{1}, onnx::TensorProto_DataType_INT64);
  cases.push_back({"a constant output", constant_output,
                   "onnx: graph output y is a constant; outputs must be computed at run time"});
  cases.push_back({"an output shape other than declared", unary_model({2, 3}, {{"y", {"n", 4}}}, [](onnx::ModelProto& m) {
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: graph output y has shape [2, 3], but the model declares [n, 4]"});

  cases.push_back({"an int64 weight as a float operand", model_with([](onnx::ModelProto& m) {
                     add_int64_initializer(m, "w", {3, 3}, Ints(9, 1));
                     add_node(m, "MatMul", {"x", "w"}, {"y"}, "/mm");
                   }),
                   "onnx: MatMul node /mm: y: matmul takes F32 inputs, not I64"});
  cases.push_back({"a double weight", model_with([](onnx::ModelProto& m) {
                     onnx::TensorProto* w = m.mutable_graph()->add_initializer();
                     w->set_name("w");
                     w->set_data_type(onnx::TensorProto_DataType_DOUBLE);
                     w->add_dims(3);
                     w->set_raw_data(std::string(24, '\0'));
                     add_node(m, "Add", {"x", "w"}, {"y"}, "/Add");
                   }),
                   "onnx: Add node /Add: input w has element type DOUBLE, which the graph does not hold; FLOAT, "
                   "BOOL and integers are"});
  onnx::ModelProto external = model_with([](onnx::ModelProto& m) { add_node(m, "Tanh", {"x"}, {"y"}); });
  onnx::TensorProto* stored = external.mutable_graph()->add_initializer();
  stored->set_name("w");
  stored->set_data_type(onnx::TensorProto_DataType_FLOAT);
  stored->add_dims(4);
  stored->set_data_location(onnx::TensorProto_DataLocation_EXTERNAL);
  cases.push_back({"external data", external,
                   "onnx: initializer w keeps its data in an external file, which the importer does not read"});
  cases.push_back({"raw data shorter than the dims", model_with([](onnx::ModelProto& m) {
                     add_initializer(m, "w", {3}, {1, 2});
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: initializer w holds 8 bytes of data where its dims [3] need 12"});

  cases.push_back({"mod with fmod 2", model_with([](onnx::ModelProto& m) {
                     set_attribute(add_node(m, "Mod", {"x", "x"}, {"y"}, "/Mod"), "fmod", std::int64_t{2});
                   }),
                   "onnx: Mod node /Mod: attribute fmod must be 0 or 1, not 2"});
  cases.push_back({"a clip bound of more than one value", model_with([](onnx::ModelProto& m) {
                     add_float_constant(m, "low", {2}, {0.0F, 1.0F});
                     add_node(m, "Clip", {"x", "low"}, {"y"}, "/Clip");
                   }),
                   "onnx: Clip node /Clip: the bound low must be a single FLOAT value"});
  cases.push_back({"a prelu slope larger than the input", unary_model({3}, {{"y", {2, 3}}}, [](onnx::ModelProto& m) {
                     add_float_constant(m, "slope", {2, 3}, Floats(6, 0.5F));
                     add_node(m, "PRelu", {"x", "slope"}, {"y"}, "/PRelu");
                   }),
                   "onnx: PRelu node /PRelu: the slope of dims [2, 3] does not broadcast to the input's [3]"});
  cases.push_back({"slice with step 0", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "begin", {1}, {0});
                     add_int64_constant(m, "end", {1}, {3});
                     add_int64_constant(m, "axes", {1}, {1});
                     add_int64_constant(m, "steps", {1}, {0});
                     add_node(m, "Slice", {"x", "begin", "end", "axes", "steps"}, {"y"}, "/Slice");
                   }),
                   "onnx: Slice node /Slice: a step is 0"});
  cases.push_back({"an empty slice", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "begin", {1}, {2});
                     add_int64_constant(m, "end", {1}, {2});
                     add_int64_constant(m, "axes", {1}, {1});
                     add_node(m, "Slice", {"x", "begin", "end", "axes"}, {"y"}, "/Slice");
                   }),
                   "onnx: Slice node /Slice: output y would have shape [2, 0]; values computed at run time need at "
                   "least one axis and no zero dimension"});
  cases.push_back({"range of a run-time value", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "zero", {}, {0});
                     add_int64_constant(m, "one", {}, {1});
                     add_node(m, "Range", {"zero", "x", "one"}, {"y"}, "/Range");
                   }),
                   "onnx: Range node /Range: input x is computed at run time, but Range is accepted only when its inputs are "
                   "known at import"});
  cases.push_back({"cast of a run-time value to int32", model_with([](onnx::ModelProto& m) {
                     set_attribute(add_node(m, "Cast", {"x"}, {"y"}, "/Cast"), "to", std::int64_t{6});
                   }),
                   "onnx: Cast node /Cast: casts a run-time value to INT32; only FLOAT, INT64 and BOOL are "
                   "supported"});
  cases.push_back({"a pad mode the graph lacks", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "pads", {4}, {0, 0, 0, 0});
                     set_attribute(add_node(m, "Pad", {"x", "pads"}, {"y"}, "/Pad"), "mode", std::string("wrap"));
                   }),
                   "onnx: Pad node /Pad: mode must be constant, reflect or edge"});
  cases.push_back({"negative repeats", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "repeats", {2}, {-1, 1});
                     add_node(m, "Tile", {"x", "repeats"}, {"y"}, "/Tile");
                   }),
                   "onnx: Tile node /Tile: repeats [-1, 1] do not suit input [2, 3]"});
  cases.push_back({"a depth computed at run time", model_with([](onnx::ModelProto& m) {
                     add_initializer(m, "values", {2}, {0, 1});
                     add_node(m, "OneHot", {"x", "x", "values"}, {"y"}, "/OneHot");
                   }),
                   "onnx: OneHot node /OneHot: depth must be one number known when importing"});
  cases.push_back({"a tile past the element limit",
                   unary_model({2, 3}, {{"y", {131072, 196608}}}, [](onnx::ModelProto& m) {
                     add_int64_constant(m, "repeats", {2}, {65536, 65536});
                     add_node(m, "Tile", {"x", "repeats"}, {"y"}, "/Tile");
                   }),
                   "onnx: tensor y of shape [131072, 196608] would hold 25769803776 elements, more than the limit "
                   "of 2147483648 (ImportOptions::max_elements)"});
  cases.push_back({"a reshape that changes the count", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "shape", {1}, {4});
                     add_node(m, "Reshape", {"x", "shape"}, {"y"}, "/Reshape");
                   }),
                   "onnx: Reshape node /Reshape: cannot reshape [2, 3] to [4]"});
  cases.push_back({"a reshape whose -1 does not divide the count", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "shape", {2}, {4, -1});
                     add_node(m, "Reshape", {"x", "shape"}, {"y"}, "/Reshape");
                   }),
                   "onnx: Reshape node /Reshape: cannot reshape [2, 3] to [4, -1]"});
  cases.push_back({"shapes that do not broadcast", model_with([](onnx::ModelProto& m) {
                     add_initializer(m, "b", {2}, {1, 2});
                     add_node(m, "Add", {"x", "b"}, {"y"}, "/Add");
                   }),
                   "onnx: Add node /Add: shapes [2, 3] and [2] do not broadcast"});
  cases.push_back({"an integer division by zero", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "one", {}, {1});
                     add_int64_constant(m, "zero", {}, {0});
                     add_node(m, "Div", {"one", "zero"}, {"q"}, "/Div");
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: Div node /Div: divides 1 by zero"});
  cases.push_back({"a folded constant too large", model_with([](onnx::ModelProto& m) {
                     add_int64_constant(m, "shape", {1}, {std::int64_t{1} << 25});
                     add_node(m, "ConstantOfShape", {"shape"}, {"c"}, "/Fill");
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: ConstantOfShape node /Fill: folding it would create a tensor of shape [33554432], larger "
                   "than 16777216 elements"});
  return cases;
}

TEST(ImportOnnx, ErrorTexts) {
  for (const ErrorCase& test : error_cases()) {
    SCOPED_TRACE(test.name);
    const Result<ImportedModel> model = test_support::import_model(test.model);
    ASSERT_FALSE(model);
    EXPECT_EQ(model.error(), CompileError::graph(test.error));
  }
}

// A pass goes on past a refused node, so one import names every refusal
// that does not follow from another: the first line as the first refusal
// alone would read, then one line per further refusal in model order. Nodes
// that read a refused node's outputs are not looked at.
TEST(ImportOnnx, RefusalsOfOnePassTogether) {
  const auto cast_to_int32 = [](onnx::ModelProto& m, const std::string& input, const std::string& output,
                                const std::string& name) {
    set_attribute(add_node(m, "Cast", {input}, {output}, name), "to", std::int64_t{6});
  };
  const std::string cast_refusal = ": casts a run-time value to INT32; only FLOAT, INT64 and BOOL are supported";
  std::vector<ErrorCase> cases;
  cases.push_back({"operators unknown and given too few inputs", model_with([](onnx::ModelProto& m) {
                     add_node(m, "Gather", {"x"}, {"g"}, "/Gather");
                     add_node(m, "Det", {"x"}, {"d"}, "/Det");
                     add_node(m, "Gather", {"x"}, {"h"}, "/Gather_1");
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: unsupported operators: Det (first node /Det)\n"
                   "onnx: Gather node /Gather: takes 2 inputs, not 1\n"
                   "onnx: Gather node /Gather_1: takes 2 inputs, not 1"});
  cases.push_back({"operators given too few inputs", model_with([](onnx::ModelProto& m) {
                     add_node(m, "Gather", {"x"}, {"g"}, "/Gather");
                     add_node(m, "Gather", {"x"}, {"y"}, "/Gather_1");
                   }),
                   "onnx: Gather node /Gather: takes 2 inputs, not 1\n"
                   "onnx: Gather node /Gather_1: takes 2 inputs, not 1"});
  // /Tanh reads the refused a and /Abs what /Tanh computes: neither is
  // named; y, computed from x, imports.
  cases.push_back({"while folding", model_with([&](onnx::ModelProto& m) {
                     cast_to_int32(m, "x", "a", "/Cast");
                     add_node(m, "Tanh", {"a"}, {"b"}, "/Tanh");
                     add_node(m, "Abs", {"b"}, {"c"}, "/Abs");
                     add_int64_constant(m, "zero", {}, {0});
                     add_int64_constant(m, "one", {}, {1});
                     add_node(m, "Range", {"zero", "x", "one"}, {"r"}, "/Range");
                     cast_to_int32(m, "x", "d", "/Cast_1");
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   "onnx: Cast node /Cast" + cast_refusal +
                       "\nonnx: Range node /Range: input x is computed at run time, but Range is accepted only when "
                       "its inputs are known at import\nonnx: Cast node /Cast_1" + cast_refusal});
  cases.push_back({"while mapping", model_with([](onnx::ModelProto& m) {
                     add_int64_initializer(m, "w", {3, 3}, Ints(9, 1));
                     add_node(m, "MatMul", {"x", "w"}, {"a"}, "/mm");
                     add_node(m, "Tanh", {"a"}, {"b"}, "/Tanh");
                     add_node(m, "MatMul", {"x", "w"}, {"c"}, "/mm_1");
                     add_node(m, "Add", {"b", "c"}, {"y"}, "/Add");
                   }),
                   "onnx: MatMul node /mm: a: matmul takes F32 inputs, not I64\n"
                   "onnx: MatMul node /mm_1: c: matmul takes F32 inputs, not I64"});
  std::string many_casts = "onnx: Cast node /Cast_0" + cast_refusal;
  for (int index = 1; index < 20; ++index) {
    many_casts += fmt::format("\nonnx: Cast node /Cast_{}{}", index, cast_refusal);
  }
  cases.push_back({"more refusals than are listed", model_with([&](onnx::ModelProto& m) {
                     for (int index = 0; index < 23; ++index) {
                       cast_to_int32(m, "x", fmt::format("c{}", index), fmt::format("/Cast_{}", index));
                     }
                     add_node(m, "Tanh", {"x"}, {"y"});
                   }),
                   many_casts + "\nonnx: and 3 more refusals"});
  for (const ErrorCase& test : cases) {
    SCOPED_TRACE(test.name);
    const Result<ImportedModel> model = test_support::import_model(test.model);
    ASSERT_FALSE(model);
    EXPECT_EQ(model.error(), CompileError::graph(test.error));
  }
}

// A value that is a weight of the graph (Dropout's mask of ones) and also a
// graph output stays a weight with its values; the output is a copy of it.
TEST(ImportOnnx, AWeightThatIsAnOutputKeepsItsValues) {
  onnx::ModelProto model = test_support::make_model(13);
  add_input(model, "x", {2, 3});
  add_node(model, "Dropout", {"x"}, {"y", "mask"});
  add_output(model, "y", Dims{2, 3});
  add_output(model, "mask", Dims{2, 3}, 9);
  const Result<ImportedModel> imported = test_support::import_model(model);
  ASSERT_TRUE(imported) << imported.error();
  std::vector<TensorId> weights;
  for (const Tensor& tensor : imported->graph.tensors) {
    if (tensor.kind == TensorKind::Weight) {
      weights.push_back(tensor.id);
    }
  }
  ASSERT_EQ(weights.size(), 1U);
  ASSERT_EQ(imported->weights.size(), 1U);
  EXPECT_EQ(imported->weights.at(weights[0]), TensorData(std::vector<std::uint8_t>(6, 1)));
  TensorValues values = imported->weights;
  values.emplace(imported->graph.tensors.front().id, TensorData(std::vector<float>(6, 2.0F)));
  const Result<TensorValues> evaluated = evaluate(imported->graph, values);
  ASSERT_TRUE(evaluated) << evaluated.error();
  EXPECT_EQ(evaluated->at(imported->graph.outputs[1]), TensorData(std::vector<std::uint8_t>(6, 1)));
}

// A rank-0 input is a graph input of shape [1] fed its one value, while the
// operators still read it as a scalar: Gather with scalar indices drops the
// axis, as the model means.
TEST(ImportOnnx, ScalarInputsAreShapeOneGraphInputs) {
  onnx::ModelProto model = test_support::make_model(13);
  add_input(model, "x", {2, 3});
  add_input(model, "low", {});
  add_input(model, "row", {}, onnx::TensorProto_DataType_INT64);
  add_node(model, "Max", {"x", "low"}, {"clipped"});
  add_node(model, "Gather", {"clipped", "row"}, {"y"});
  add_output(model, "y", Dims{3});
  const Result<ImportedModel> imported = test_support::import_model(model);
  ASSERT_TRUE(imported) << imported.error();
  const Graph& graph = imported->graph;
  EXPECT_EQ(graph.tensors[1].shape, (Shape{1}));
  EXPECT_EQ(graph.tensors[2].shape, (Shape{1}));
  EXPECT_EQ(graph.tensors[graph.outputs.front().index].shape, (Shape{3}));
  TensorValues values;
  values.emplace(graph.tensors[0].id, Floats{1, -2, 3, -4, 5, -6});
  values.emplace(graph.tensors[1].id, Floats{0});
  values.emplace(graph.tensors[2].id, std::vector<std::int64_t>{1});
  const Result<TensorValues> evaluated = evaluate(graph, values);
  ASSERT_TRUE(evaluated) << evaluated.error();
  EXPECT_EQ(evaluated->at(graph.outputs.front()), TensorData({0, 5, 0}));
}

// ImportOptions::max_elements bounds every tensor, inputs included.
TEST(ImportOnnx, ElementLimit) {
  const onnx::ModelProto model = model_with([](onnx::ModelProto& m) { add_node(m, "Tanh", {"x"}, {"y"}); });
  EXPECT_TRUE(test_support::import_model(model, ImportOptions{{}, 6}));
  const Result<ImportedModel> refused = test_support::import_model(model, ImportOptions{{}, 5});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), CompileError::graph("onnx: tensor x of shape [2, 3] would hold 6 elements, more than "
                                                 "the limit of 5 (ImportOptions::max_elements)"));
}

// The files to reject among the fixtures, and a model imported without
// binding its symbols.
TEST(ImportOnnx, FixtureErrorTexts) {
  const std::filesystem::path fixture_folder = ORVO_ONNX_FIXTURES;
  const auto expect_error = [](const std::filesystem::path& file, const ImportOptions& options,
                                 const std::string& error) {
    SCOPED_TRACE(file.string());
    const Result<ImportedModel> model = import_onnx(file, options);
    ASSERT_FALSE(model);
    EXPECT_EQ(model.error(), CompileError::graph(error));
  };
  expect_error(fixture_folder / "bad/truncated.onnx", {},
               "onnx: cannot parse model: 20504 bytes that are not an ONNX ModelProto");
  expect_error(fixture_folder / "bad/random.onnx", {},
               "onnx: cannot parse model: 4096 bytes that are not an ONNX ModelProto");
  expect_error(fixture_folder / "bad/unsupported.onnx", {}, "onnx: unsupported operators: Det (first node /Det)");
  expect_error(fixture_folder / "prenorm_manual/model.onnx", {},
               "onnx: input input: symbolic dimension sequence (axis 1) is not bound; give it a value in "
               "ImportOptions::dimensions");
  expect_error(fixture_folder / "torch_encoder_postnorm/model.onnx", ImportOptions{{{"sequence", 8}}},
               "onnx: input input: symbolic dimension batch (axis 0) is not bound; give it a value in "
               "ImportOptions::dimensions");
  expect_error(fixture_folder / "absent.onnx", {}, "onnx: cannot read " + (fixture_folder / "absent.onnx").string());
}

// The symbols a model leaves unbound, which front ends name in their own
// terms: import_onnx fails for want of dimensions exactly when there are some.
TEST(ImportOnnx, UnboundDimensions) {
  const std::filesystem::path fixture_folder = ORVO_ONNX_FIXTURES;
  const std::filesystem::path postnorm = fixture_folder / "torch_encoder_postnorm/model.onnx";
  struct Case {
    ImportOptions options;
    std::vector<std::string> unbound;
  };
  const Case cases[] = {
      {{}, {"batch", "sequence"}},
      {ImportOptions{{{"sequence", 8}}}, {"batch"}},
      {ImportOptions{{{"sequence", 8}, {"batch", 2}, {"other", 3}}}, {}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.unbound.size());
    const Result<std::vector<std::string>> unbound = unbound_dimensions(postnorm, test.options);
    ASSERT_TRUE(unbound) << unbound.error();
    EXPECT_EQ(*unbound, test.unbound);
    EXPECT_EQ(import_onnx(postnorm, test.options).has_value(), test.unbound.empty());
  }
  const Result<ImportedModel> model = import_onnx(postnorm);
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error(), CompileError::graph("onnx: symbolic dimensions batch (input input, axis 0), sequence "
                                               "(input input, axis 1) are not bound; give each a value in "
                                               "ImportOptions::dimensions"));
  EXPECT_EQ(unbound_dimensions(fixture_folder / "bad/random.onnx").error(),
            CompileError::graph("onnx: cannot parse model: 4096 bytes that are not an ONNX ModelProto"));
  EXPECT_EQ(unbound_dimensions(fixture_folder / "absent.onnx").error(),
            CompileError::graph("onnx: cannot read " + (fixture_folder / "absent.onnx").string()));
}

}  // namespace
}  // namespace orvo_compiler
