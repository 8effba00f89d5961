// Import-time evaluation of operators on known tensors: shape arithmetic as
// exporters write it (rank-0 Gather, truncating int64 Div, wrap-around), data
// movement, casts, generated tensors, and the refusal of unbounded results.
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "onnx/constant_ops.hpp"

namespace orvo_compiler::onnx_import {
namespace {

using Ints = std::vector<std::int64_t>;
using Floats = std::vector<float>;
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();

Constant ints(Ints dims, Ints values) { return Constant{int64_type, std::move(dims), {}, std::move(values)}; }
Constant floats(Ints dims, Floats values) { return Constant{float_type, std::move(dims), std::move(values), {}}; }

struct Case {
  const char* name;
  Node node;
  std::vector<Constant> inputs;
  std::vector<Constant> expected;  // empty when `error` is set
  std::string error = {};
};

Node node(const char* op_type, std::map<std::string, Attribute> attributes = {}, std::size_t outputs = 1) {
  Node result{"/n", op_type, "", {}, {}, std::move(attributes)};
  for (std::size_t index = 0; index < outputs; ++index) {
    result.outputs.push_back("out" + std::to_string(index));
  }
  return result;
}

TEST(ConstantOps, EvaluatesEachOperator) {
  const Case cases[] = {
      {"gather with a rank-0 index gives rank 0", node("Gather"), {ints({3}, {2, 8, 32}), ints({}, {1})},
       {ints({}, {8})}},
      {"gather with [-1] gives rank 1", node("Gather"), {ints({3}, {2, 8, 32}), ints({1}, {-1})},
       {ints({1}, {32})}},
      {"gather on axis 1", node("Gather", {{"axis", std::int64_t{1}}}),
       {floats({2, 3}, {1, 2, 3, 4, 5, 6}), ints({2}, {2, 0})}, {floats({2, 2}, {3, 1, 6, 4})}},
      {"gather out of range", node("Gather"), {ints({2}, {4, 5}), ints({}, {2})}, {},
       "onnx: Gather node /n: index 2 is out of range for axis 0 of size 2"},
      {"concat of shape pieces", node("Concat", {{"axis", std::int64_t{0}}}),
       {ints({1}, {2}), ints({1}, {8}), ints({2}, {4, 8})}, {ints({4}, {2, 8, 4, 8})}},
      {"concat on axis 1", node("Concat", {{"axis", std::int64_t{-1}}}),
       {floats({2, 1}, {1, 2}), floats({2, 2}, {3, 4, 5, 6})}, {floats({2, 3}, {1, 3, 4, 2, 5, 6})}},
      {"concat of mismatched pieces", node("Concat", {{"axis", std::int64_t{0}}}),
       {ints({1}, {2}), floats({1}, {8})}, {},
       "onnx: Concat node /n: input in1 (FLOAT [1]) does not concatenate with INT64 [1] on axis 0"},
      {"shape between start and end", node("Shape", {{"start", std::int64_t{1}}, {"end", std::int64_t{-1}}}),
       {floats({2, 3, 4, 5}, Floats(120))}, {ints({2}, {3, 4})}},
      {"int64 division truncates", node("Div"), {ints({4}, {-7, 7, 7, int64_min}), ints({4}, {2, -2, 2, -1})},
       {ints({4}, {-3, -3, 3, int64_min})}},
      {"int64 addition wraps", node("Add"), {ints({}, {int64_max}), ints({1}, {1})}, {ints({1}, {int64_min})}},
      {"float arithmetic broadcasts", node("Mul"), {floats({2, 1}, {1, 2}), floats({3}, {1, 10, 100})},
       {floats({2, 3}, {1, 10, 100, 2, 20, 200})}},
      {"mixed element types", node("Sub"), {ints({1}, {1}), floats({1}, {1})}, {},
       "onnx: Sub node /n: operands have element types INT64 and FLOAT"},
      {"cast to int64 truncates", node("Cast", {{"to", std::int64_t{7}}}), {floats({2}, {2.7F, -2.7F})},
       {ints({2}, {2, -2})}},
      {"cast of a float out of range", node("Cast", {{"to", std::int64_t{7}}}), {floats({1}, {1e30F})}, {},
       "onnx: Cast node /n: cannot cast 1e+30 to an integer"},
      {"cast of int64 to float", node("Cast", {{"to", std::int64_t{1}}}), {ints({2}, {3, -1})},
       {floats({2}, {3, -1})}},
      {"slice with a negative start", node("Slice"), {ints({4}, {1, 2, 3, 4}), ints({1}, {-3}), ints({1}, {3})},
       {ints({2}, {2, 3})}},
      {"split into equal pieces", node("Split", {{"axis", std::int64_t{1}}}, 2), {floats({1, 4}, {1, 2, 3, 4})},
       {floats({1, 2}, {1, 2}), floats({1, 2}, {3, 4})}},
      {"transpose", node("Transpose", {{"perm", Ints{1, 0}}}), {floats({2, 3}, {1, 2, 3, 4, 5, 6})},
       {floats({3, 2}, {1, 4, 2, 5, 3, 6})}},
      {"unsqueeze a scalar", node("Unsqueeze"), {ints({}, {5}), ints({1}, {0})}, {ints({1}, {5})}},
      {"squeeze every 1", node("Squeeze"), {ints({1, 2, 1}, {5, 6})}, {ints({2}, {5, 6})}},
      {"reshape with -1", node("Reshape"), {ints({2, 2}, {1, 2, 3, 4}), ints({1}, {-1})}, {ints({4}, {1, 2, 3, 4})}},
      {"reshape with a -1 that does not divide", node("Reshape"), {ints({2, 3}, {1, 2, 3, 4, 5, 6}), ints({2}, {4, -1})},
       {}, "onnx: Reshape node /n: cannot reshape [2, 3] to [4, -1]"},
      {"expand", node("Expand"), {floats({3}, {1, 2, 3}), ints({2}, {2, 1})}, {floats({2, 3}, {1, 2, 3, 1, 2, 3})}},
      {"range of int64", node("Range"), {ints({}, {1}), ints({}, {10}), ints({}, {3})}, {ints({3}, {1, 4, 7})}},
      {"range of floats", node("Range"), {floats({}, {0}), floats({}, {1}), floats({}, {0.25F})},
       {floats({4}, {0, 0.25F, 0.5F, 0.75F})}},
      {"constant of shape", node("ConstantOfShape", {{"value", ints({1}, {7})}}), {ints({2}, {2, 2})},
       {ints({2, 2}, {7, 7, 7, 7})}},
      {"equal then where", node("Where"), {Constant{bool_type, {2}, {}, {1, 0}}, ints({2}, {1, 2}), ints({}, {9})},
       {ints({2}, {1, 9})}},
      {"equal", node("Equal"), {ints({3}, {1, 2, 3}), ints({}, {2})}, {Constant{bool_type, {3}, {}, {0, 1, 0}}}},
      {"a growing result past the limit", node("Expand"), {floats({1}, {1}), ints({2}, {4096, 8192})}, {},
       "onnx: Expand node /n: folding it would create a tensor of shape [4096, 8192], larger than 16777216 "
       "elements"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::vector<Operand> operands;
    Node evaluated = test.node;
    for (const Constant& input : test.inputs) {
      operands.push_back(Operand{true, input.dims, &input});
      evaluated.inputs.push_back("in" + std::to_string(operands.size() - 1));
    }
    const Result<std::vector<Constant>> result = evaluate_constant(evaluated, operands, 17);
    if (test.error.empty()) {
      ASSERT_TRUE(result) << result.error();
      EXPECT_EQ(*result, test.expected);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), CompileError::graph(test.error));
    }
  }
}

// Movement at a given opset: steps of any sign, Flatten and Size, and the
// forms that read attributes where later opsets read inputs.
TEST(ConstantOps, MovesDataAtEachOpset) {
  struct OpsetCase {
    const char* name;
    std::int64_t opset;
    Node node;
    std::vector<Constant> inputs;
    std::vector<Constant> expected;  // empty when `error` is set
    std::string error = {};
  };
  const Constant ten = ints({10}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  const Constant grid = ints({2, 3}, {1, 2, 3, 4, 5, 6});
  const OpsetCase cases[] = {
      // From the end by 3, the end clamped to -1 (before the first entry).
      {"slice backwards by 3", 13, node("Slice"), {ten, ints({1}, {-1}), ints({1}, {-100}), ints({1}, {0}),
                                                   ints({1}, {-3})},
       {ints({4}, {9, 6, 3, 0})}},
      {"slice backwards from past the end", 13, node("Slice"),
       {ten, ints({1}, {int64_max}), ints({1}, {5}), ints({1}, {0}), ints({1}, {-2})}, {ints({2}, {9, 7})}},
      {"slice forwards by 2 on the last axis", 13, node("Slice"),
       {grid, ints({1}, {0}), ints({1}, {int64_max}), ints({1}, {-1}), ints({1}, {2})},
       {ints({2, 2}, {1, 3, 4, 6})}},
      {"slice by the lowest step", 13, node("Slice"),
       {ten, ints({1}, {8}), ints({1}, {int64_min}), ints({1}, {0}), ints({1}, {int64_min})}, {ints({1}, {8})}},
      {"slice with step 0", 13, node("Slice"), {ten, ints({1}, {0}), ints({1}, {5}), ints({1}, {0}), ints({1}, {0})},
       {}, "onnx: Slice node /n: a step is 0"},
      {"slice by attributes", 9, node("Slice", {{"starts", Ints{1}}, {"ends", Ints{-1}}, {"axes", Ints{1}}}),
       {grid}, {ints({2, 1}, {2, 5})}},
      {"slice attributes without axes", 9, node("Slice", {{"starts", Ints{1, 0}}, {"ends", Ints{2, 2}}}), {grid},
       {ints({1, 2}, {4, 5})}},
      {"split by the attribute", 12, node("Split", {{"split", Ints{1, 2}}, {"axis", std::int64_t{-1}}}, 2), {grid},
       {ints({2, 1}, {1, 4}), ints({2, 2}, {2, 3, 5, 6})}},
      {"split by the input", 13, node("Split", {{"axis", std::int64_t{-1}}}, 2), {grid, ints({2}, {1, 2})},
       {ints({2, 1}, {1, 4}), ints({2, 2}, {2, 3, 5, 6})}},
      {"unsqueeze by the attribute", 12, node("Unsqueeze", {{"axes", Ints{0, -1}}}), {grid},
       {ints({1, 2, 3, 1}, {1, 2, 3, 4, 5, 6})}},
      {"unsqueeze without axes", 12, node("Unsqueeze"), {grid}, {},
       "onnx: Unsqueeze node /n: has no axes input"},
      {"squeeze by the attribute", 11, node("Squeeze", {{"axes", Ints{0}}}), {ints({1, 2}, {7, 8})},
       {ints({2}, {7, 8})}},
      {"flatten at axis 0", 13, node("Flatten", {{"axis", std::int64_t{0}}}), {grid}, {ints({1, 6}, {1, 2, 3, 4, 5, 6})}},
      {"flatten at a negative axis", 13, node("Flatten", {{"axis", std::int64_t{-2}}}), {ints({1, 2, 1}, {7, 8})},
       {ints({1, 2}, {7, 8})}},
      {"flatten past the rank", 13, node("Flatten", {{"axis", std::int64_t{3}}}), {grid}, {},
       "onnx: Flatten node /n: axis 3 is out of range for rank 2"},
      {"size", 13, node("Size"), {floats({2, 3}, Floats(6))}, {ints({}, {6})}},
  };
  for (const OpsetCase& test : cases) {
    SCOPED_TRACE(test.name);
    std::vector<Operand> operands;
    Node evaluated = test.node;
    for (const Constant& input : test.inputs) {
      operands.push_back(Operand{true, input.dims, &input});
      evaluated.inputs.push_back("in" + std::to_string(operands.size() - 1));
    }
    const Result<std::vector<Constant>> result = evaluate_constant(evaluated, operands, test.opset);
    if (test.error.empty()) {
      ASSERT_TRUE(result) << result.error();
      EXPECT_EQ(*result, test.expected);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error(), CompileError::graph(test.error));
    }
  }
}

TEST(ConstantOps, ConstantNodeValues) {
  EXPECT_EQ(constant_node_value(node("Constant", {{"value_float", 0.5F}})), floats({}, {0.5F}));
  EXPECT_EQ(constant_node_value(node("Constant", {{"value_ints", Ints{1, 2}}})), ints({2}, {1, 2}));
  EXPECT_EQ(constant_node_value(node("Constant", {{"value_string", std::string("a")}})).error(),
            CompileError::graph("onnx: Constant node /n: attribute value_string is not a value the importer reads"));
}

}  // namespace
}  // namespace orvo_compiler::onnx_import
