// Pattern fusion on models parsed, bound and folded by the passes before it:
// the tanh GELU in the groupings and operand orders exporters write, the
// decomposed layer normalisation, and the near misses left alone.
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "onnx/bind_dimensions.hpp"
#include "onnx/fold_constants.hpp"
#include "onnx/fuse_patterns.hpp"
#include "onnx/model_builder.hpp"
#include "onnx/parse_model.hpp"

namespace orvo_compiler::onnx_import {
namespace {

using test_support::add_float_constant;
using test_support::add_node;
using test_support::set_attribute;

struct Fused {
  std::vector<std::string> lines;
  std::vector<std::string> nodes;  // "<op_type>(<inputs>) -> <outputs>"
};

// Model x -> `build` -> y, both of `dims`, through the passes up to fusion.
Fused fuse(const std::function<void(onnx::ModelProto&)>& build, std::int64_t opset = 17,
           const std::vector<test_support::Dim>& dims = {2, 4}) {
  onnx::ModelProto model = test_support::make_model(opset);
  test_support::add_input(model, "x", dims);
  build(model);
  test_support::add_output(model, "y", dims);
  const std::vector<std::uint8_t> bytes = test_support::serialize(model);
  Result<Model> parsed = parse_model(bytes);
  EXPECT_TRUE(parsed) << parsed.error();
  Result<std::vector<BoundInput>> inputs = bind_dimensions(parsed->inputs, {});
  Result<Folded> folded = fold_constants(std::move(parsed->initializers), std::move(parsed->nodes), *inputs,
                                          parsed->opset);
  EXPECT_TRUE(folded) << folded.error();
  Fused fused{fuse_patterns(*folded, {"y"}), {}};
  for (const Node& node : folded->nodes) {
    fused.nodes.push_back(fmt::format("{}({}) -> {}", node.op_type, fmt::join(node.inputs, ", "),
                                      fmt::join(node.outputs, ", ")));
  }
  return fused;
}

// PyTorch's tanh GELU: 0.5 * (x * (1 + tanh(c * (x + 0.044715 * (x * (x * x)))))).
void torch_gelu(onnx::ModelProto& m, float cube_coefficient = 0.044715F) {
  add_node(m, "Mul", {"x", "x"}, {"square"}, "/gelu/Mul");
  add_node(m, "Mul", {"x", "square"}, {"cube"}, "/gelu/Mul_1");
  add_float_constant(m, "k", {}, {cube_coefficient});
  add_node(m, "Mul", {"k", "cube"}, {"scaled_cube"}, "/gelu/Mul_2");
  add_node(m, "Add", {"x", "scaled_cube"}, {"inner"}, "/gelu/Add");
  add_float_constant(m, "c", {}, {0.7978846F});
  add_node(m, "Mul", {"c", "inner"}, {"argument"}, "/gelu/Mul_3");
  add_node(m, "Tanh", {"argument"}, {"t"}, "/gelu/Tanh");
  add_float_constant(m, "one", {}, {1.0F});
  add_node(m, "Add", {"one", "t"}, {"one_plus"}, "/gelu/Add_1");
  add_node(m, "Mul", {"x", "one_plus"}, {"product"}, "/gelu/Mul_4");
  add_float_constant(m, "half", {}, {0.5F});
  add_node(m, "Mul", {"half", "product"}, {"y"}, "/gelu/Mul_5");
}

// x * 0.5 * (1 + tanh(...)) grouped the other way, the cube as Pow, the
// constants on the right, 0.5 as a division by 2.
void other_gelu(onnx::ModelProto& m) {
  add_float_constant(m, "three", {}, {3.0F});
  add_node(m, "Pow", {"x", "three"}, {"cube"}, "/Pow");
  add_float_constant(m, "k", {1}, {0.044715F});
  add_node(m, "Mul", {"cube", "k"}, {"scaled_cube"}, "/Mul");
  add_node(m, "Add", {"scaled_cube", "x"}, {"inner"}, "/Add");
  add_float_constant(m, "c", {}, {0.79788456F});
  add_node(m, "Mul", {"inner", "c"}, {"argument"}, "/Mul_1");
  add_node(m, "Tanh", {"argument"}, {"t"}, "/Tanh");
  add_float_constant(m, "one", {}, {1.0F});
  add_node(m, "Add", {"t", "one"}, {"one_plus"}, "/Add_1");
  add_float_constant(m, "two", {}, {2.0F});
  add_node(m, "Div", {"x", "two"}, {"half_x"}, "/Div");
  add_node(m, "Mul", {"half_x", "one_plus"}, {"y"}, "/Mul_2");
}

// The layer normalisation of opsets 13 to 16, on the last axis.
void decomposed_layer_norm(onnx::ModelProto& m, bool square_by_pow) {
  set_attribute(add_node(m, "ReduceMean", {"x"}, {"mean"}, "/ln/ReduceMean"), "axes", std::vector<std::int64_t>{-1});
  add_node(m, "Sub", {"x", "mean"}, {"centred"}, "/ln/Sub");
  if (square_by_pow) {
    add_float_constant(m, "two", {}, {2.0F});
    add_node(m, "Pow", {"centred", "two"}, {"squares"}, "/ln/Pow");
  } else {
    add_node(m, "Mul", {"centred", "centred"}, {"squares"}, "/ln/Mul");
  }
  set_attribute(add_node(m, "ReduceMean", {"squares"}, {"variance"}, "/ln/ReduceMean_1"), "axes",
                std::vector<std::int64_t>{1});
  add_float_constant(m, "epsilon", {}, {1e-5F});
  add_node(m, "Add", square_by_pow ? std::vector<std::string>{"variance", "epsilon"}
                                   : std::vector<std::string>{"epsilon", "variance"},
           {"shifted"}, "/ln/Add");
  add_node(m, "Sqrt", {"shifted"}, {"deviation"}, "/ln/Sqrt");
  add_node(m, "Div", {"centred", "deviation"}, {"y"}, "/ln/Div");
}

TEST(FusePatterns, FusesAndLeavesAlone) {
  struct FuseCase {
    const char* name;
    std::function<void(onnx::ModelProto&)> build;
    Fused expected;
  };
  const FuseCase cases[] = {
      {"gelu as PyTorch writes it", [](onnx::ModelProto& m) { torch_gelu(m); },
       {{"gelu (tanh) at /gelu/Mul"}, {"Gelu(x) -> y"}}},
      {"gelu grouped otherwise, with Pow and Div", other_gelu, {{"gelu (tanh) at /Pow"}, {"Gelu(x) -> y"}}},
      {"gelu with a wrong coefficient", [](onnx::ModelProto& m) { torch_gelu(m, 0.04F); },
       {{},
        {"Mul(x, x) -> square", "Mul(x, square) -> cube", "Mul(k, cube) -> scaled_cube", "Add(x, scaled_cube) -> inner",
         "Mul(c, inner) -> argument", "Tanh(argument) -> t", "Add(one, t) -> one_plus", "Mul(x, one_plus) -> product",
         "Mul(half, product) -> y"}}},
      {"gelu whose tanh is read elsewhere",
       [](onnx::ModelProto& m) {
         torch_gelu(m);
         m.mutable_graph()->mutable_node(m.graph().node_size() - 1)->set_output(0, "gelu");
         add_node(m, "Add", {"gelu", "t"}, {"y"});
       },
       {{},
        {"Mul(x, x) -> square", "Mul(x, square) -> cube", "Mul(k, cube) -> scaled_cube", "Add(x, scaled_cube) -> inner",
         "Mul(c, inner) -> argument", "Tanh(argument) -> t", "Add(one, t) -> one_plus", "Mul(x, one_plus) -> product",
         "Mul(half, product) -> gelu", "Add(gelu, t) -> y"}}},
      {"layer norm with Pow", [](onnx::ModelProto& m) { decomposed_layer_norm(m, true); },
       {{"layer norm at /ln/ReduceMean"}, {"LayerNorm(x) -> y"}}},
      {"layer norm with Mul, epsilon first", [](onnx::ModelProto& m) { decomposed_layer_norm(m, false); },
       {{"layer norm at /ln/ReduceMean"}, {"LayerNorm(x) -> y"}}},
      {"layer norm whose centred value is read elsewhere",
       [](onnx::ModelProto& m) {
         decomposed_layer_norm(m, true);
         m.mutable_graph()->mutable_node(m.graph().node_size() - 1)->set_output(0, "normalized");
         add_node(m, "Add", {"normalized", "centred"}, {"y"});
       },
       {{},
        {"ReduceMean(x) -> mean", "Sub(x, mean) -> centred", "Pow(centred, two) -> squares",
         "ReduceMean(squares) -> variance", "Add(variance, epsilon) -> shifted", "Sqrt(shifted) -> deviation",
         "Div(centred, deviation) -> normalized", "Add(normalized, centred) -> y"}}},
  };
  for (const FuseCase& test : cases) {
    SCOPED_TRACE(test.name);
    const Fused fused = fuse(test.build);
    EXPECT_EQ(fused.lines, test.expected.lines);
    EXPECT_EQ(fused.nodes, test.expected.nodes);
  }
}

// A variance taken without keepdims on a square input still broadcasts
// against the centred value, but along the last axis (each column divided by
// another row's deviation): not a layer normalisation.
TEST(FusePatterns, VarianceWithoutKeepdimsIsNotFused) {
  const Fused fused = fuse(
      [](onnx::ModelProto& m) {
        decomposed_layer_norm(m, true);
        for (onnx::NodeProto& node : *m.mutable_graph()->mutable_node()) {
          if (node.name() == "/ln/ReduceMean_1") {
            set_attribute(node, "keepdims", std::int64_t{0});
          }
        }
      },
      17, {4, 4});
  EXPECT_EQ(fused.lines, std::vector<std::string>{});
  EXPECT_EQ(fused.nodes, (std::vector<std::string>{"ReduceMean(x) -> mean", "Sub(x, mean) -> centred",
                                                   "Pow(centred, two) -> squares", "ReduceMean(squares) -> variance",
                                                   "Add(variance, epsilon) -> shifted", "Sqrt(shifted) -> deviation",
                                                   "Div(centred, deviation) -> y"}));
}

}  // namespace
}  // namespace orvo_compiler::onnx_import
