// Element types through the graph, the evaluator and the compiler: integer
// and bool tensors keep their type and their exact values, element-wise
// operands broadcast in place, and every type error says which types meet.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {
namespace {

using Integers = std::vector<std::int64_t>;

TEST(ElementTypes, SizesAndRenderings) {
  EXPECT_EQ(size(DType::F32), 4U);
  EXPECT_EQ(size(DType::I64), 8U);
  EXPECT_EQ(size(DType::Bool), 1U);
  EXPECT_EQ(fmt::format("{} {} {}", DType::F32, DType::I64, DType::Bool), "F32 I64 Bool");
  EXPECT_EQ(dtype_of(TensorData{Integers{1}}), DType::I64);
  EXPECT_EQ(dtype_of(TensorData{std::vector<std::uint8_t>{1}}), DType::Bool);
}

// Operands of shapes [2, 3] with [3], [2, 1] and [1]: each read in place
// where numpy's broadcast places it, in float and in int64.
TEST(ElementTypes, BinaryOperandsBroadcastInPlace) {
  struct Case {
    Shape right_shape;
    std::vector<float> right;
    std::vector<float> sum;
  };
  const std::vector<float> left{1, 2, 3, 4, 5, 6};
  const Case cases[] = {
      {{3}, {10, 20, 30}, {11, 22, 33, 14, 25, 36}},
      {{2, 1}, {10, 20}, {11, 12, 13, 24, 25, 26}},
      {{1}, {10}, {11, 12, 13, 14, 15, 16}},
      {{1, 2, 3}, {1, 1, 1, 1, 1, 1}, {2, 3, 4, 5, 6, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(fmt::format("[2, 3] + {}", fmt::join(c.right_shape, "x")));
    Graph graph;
    const TensorId a = graph.input("a", {2, 3});
    const TensorId b = graph.input("b", c.right_shape);
    const TensorId ia = graph.input("ia", {2, 3}, DType::I64);
    const TensorId ib = graph.input("ib", c.right_shape, DType::I64);
    const Result<TensorId> sum = graph.apply("sum", Add{}, {a, b});
    const Result<TensorId> integer_sum = graph.apply("isum", Add{}, {ib, ia});
    ASSERT_TRUE(sum && integer_sum);
    EXPECT_EQ(graph.tensors[integer_sum->index].dtype, DType::I64);
    EXPECT_EQ(graph.tensors[sum->index].shape.size(), std::max<std::size_t>(2, c.right_shape.size()));
    graph.mark_output(*sum);
    graph.mark_output(*integer_sum);
    const Result<TensorValues> outputs =
        evaluate(graph, {{a, left},
                         {b, c.right},
                         {ia, Integers(left.begin(), left.end())},
                         {ib, Integers(c.right.begin(), c.right.end())}});
    ASSERT_TRUE(outputs) << outputs.error();
    EXPECT_EQ(std::get<std::vector<float>>(outputs->at(*sum)), c.sum);
    EXPECT_EQ(std::get<Integers>(outputs->at(*integer_sum)), Integers(c.sum.begin(), c.sum.end()));
  }
}

TEST(ElementTypes, IntegerArithmeticWrapsAndDivisionTruncates) {
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  Graph graph;
  const TensorId a = graph.input("a", {4}, DType::I64);
  const TensorId b = graph.input("b", {4}, DType::I64);
  const TensorId quotient = *graph.apply("quotient", Div{}, {a, b});
  const TensorId product = *graph.apply("product", Mul{}, {a, b});
  graph.mark_output(quotient);
  graph.mark_output(product);
  const Result<TensorValues> outputs = evaluate(graph, {{a, Integers{7, -7, lowest, 5}}, {b, Integers{2, 2, -1, -5}}});
  ASSERT_TRUE(outputs) << outputs.error();
  EXPECT_EQ(std::get<Integers>(outputs->at(quotient)), (Integers{3, -3, lowest, -1}));
  EXPECT_EQ(std::get<Integers>(outputs->at(product)), (Integers{14, -14, lowest, -25}));

  const Result<TensorValues> by_zero = evaluate(graph, {{a, Integers{1, 2, 3, 4}}, {b, Integers{1, 0, 1, 1}}});
  ASSERT_FALSE(by_zero);
  EXPECT_EQ(by_zero.error().message, "evaluate: quotient: integer division by zero");
}

TEST(ElementTypes, RulesRefuseTypesAndShapesThatDoNotMeet) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const TensorId ids = graph.input("ids", {2, 3}, DType::I64);
  const TensorId mask = graph.input("mask", {2, 3}, DType::Bool);
  const TensorId column = graph.input("column", {4});
  struct Case {
    const char* name;
    OpKind kind;
    std::vector<TensorId> inputs;
    std::string message;
  };
  const Case cases[] = {
      {"mixed", Add{}, {x, ids}, "mixed: add takes inputs of one element type, not F32 and I64"},
      {"masks", Mul{}, {mask, mask}, "masks: mul takes F32 or I64 inputs, not Bool"},
      {"norm", LayerNorm{1e-5F}, {ids}, "norm: layer_norm takes F32 inputs, not I64"},
      {"wide", Sub{}, {x, column}, "wide: shapes [2, 3] and [4] do not broadcast"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph copy = graph;
    const Result<TensorId> built = copy.apply(c.name, c.kind, c.inputs);
    ASSERT_FALSE(built);
    EXPECT_EQ(built.error().message, c.message);
    EXPECT_EQ(copy, graph);
  }
  // The named builders keep identical shapes.
  Graph copy = graph;
  const TensorId row = copy.input("row", {3});
  const Result<TensorId> added = copy.add("added", x, row);
  ASSERT_FALSE(added);
  EXPECT_EQ(added.error().message, "added: binary shapes differ");
}

TEST(ElementTypes, EvaluateChecksEachValuesType) {
  Graph graph;
  const TensorId ids = graph.input("ids", {2}, DType::I64);
  const TensorId moved = *graph.transpose("moved", ids, {0});
  graph.mark_output(moved);
  const Result<TensorValues> wrong = evaluate(graph, {{ids, std::vector<float>{1, 2}}});
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().message, "evaluate: value for ids is F32, expected I64");
  const Result<TensorValues> right = evaluate(graph, {{ids, Integers{1, 1LL << 60}}});
  ASSERT_TRUE(right) << right.error();
  EXPECT_EQ(std::get<Integers>(right->at(moved)), (Integers{1, 1LL << 60}));
}

// Integer and bool tensors take their own sizes in the schedule, and a
// broadcast operand is placed and moved as the small tensor it is.
TEST(ElementTypes, CompiledSchedulesUseEachTypesSize) {
  Graph graph;
  const TensorId ids = graph.input("ids", {64, 64}, DType::I64);
  const TensorId offset = graph.weight("offset", {64}, DType::I64);
  const TensorId mask = graph.input("mask", {64, 64}, DType::Bool);
  const TensorId shifted = *graph.apply("shifted", Add{}, {ids, offset});
  const TensorId kept = *graph.reshape("kept", mask, {4096});
  graph.mark_output(shifted);
  graph.mark_output(kept);
  const CompilerOptions options{.tile_count = 8};
  const Result<Schedule> schedule = compile(graph, options);
  ASSERT_TRUE(schedule) << schedule.error();
  const Result<void> verified = verify_schedule(graph, *schedule, options);
  EXPECT_TRUE(verified) << verified.error();
  std::vector<std::uint64_t> bytes(graph.tensors.size(), 0);
  for (const Allocation& allocation : schedule->allocations) {
    bytes[allocation.tensor.index] += allocation.size;
  }
  EXPECT_GE(bytes[ids.index], 64U * 64 * 8);
  EXPECT_LT(bytes[offset.index], 64U * 64);
  EXPECT_GE(bytes[mask.index], 64U * 64);
  EXPECT_LT(bytes[mask.index], 64U * 64 * 4);
}

}  // namespace
}  // namespace orvo_compiler
