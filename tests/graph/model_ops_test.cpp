// The operations added for imported models: each builder's shape rule and
// exact error text, the kind and parameters it records, its name in a
// schedule, and that a failed call changes nothing.
#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint64_t huge = std::uint64_t{1} << 40;

// One builder call on a graph holding inputs a (shape `a`) and b (shape `b`).
using Call = std::function<Result<TensorId>(Graph&, TensorId, TensorId)>;

struct Case {
  const char* name;
  Shape a;
  Shape b;
  Call call;
  Shape expected;     // output shape; unused when `error` is set
  OpKind kind;        // kind recorded; unused when `error` is set
  std::string error;  // empty when the call must succeed
};

TEST(ModelOps, ShapeRulesKindsAndErrors) {
  const auto mul = [](Graph& g, TensorId a, TensorId b) { return g.mul("s", a, b); };
  const auto sub = [](Graph& g, TensorId a, TensorId b) { return g.sub("s", a, b); };
  const auto div = [](Graph& g, TensorId a, TensorId b) { return g.div("s", a, b); };
  const auto bmm = [](Graph& g, TensorId a, TensorId b) { return g.batch_matmul("s", a, b); };
  const auto reshape_to = [](Shape shape) {
    return Call([shape](Graph& g, TensorId a, TensorId) { return g.reshape("s", a, shape); });
  };
  const auto broadcast_to = [](Shape shape) {
    return Call([shape](Graph& g, TensorId a, TensorId) { return g.broadcast("s", a, shape); });
  };
  const auto slice = [](std::uint64_t axis, std::uint64_t start, std::uint64_t end) {
    return Call([=](Graph& g, TensorId a, TensorId) { return g.slice("s", a, axis, start, end); });
  };
  const auto reduce = [](Graph& g, TensorId a, TensorId) { return g.reduce_mean("s", a); };

  const Case cases[] = {
      {"mul", {2, 3}, {2, 3}, mul, {2, 3}, Mul{}, ""},
      {"mul differs", {2, 3}, {3, 2}, mul, {}, Mul{}, "s: binary shapes differ"},
      {"sub", {4}, {4}, sub, {4}, Sub{}, ""},
      {"sub differs", {4}, {1, 4}, sub, {}, Sub{}, "s: binary shapes differ"},
      {"div", {1, 5}, {1, 5}, div, {1, 5}, Div{}, ""},
      {"div differs", {5}, {6}, div, {}, Div{}, "s: binary shapes differ"},

      {"reshape", {2, 3, 4}, {1}, reshape_to({6, 4}), {6, 4}, Reshape{{6, 4}}, ""},
      {"reshape to rank 1", {2, 3}, {1}, reshape_to({6}), {6}, Reshape{{6}}, ""},
      {"reshape count", {2, 3}, {1}, reshape_to({7}), {}, Reshape{}, "s: cannot reshape [2, 3] to [7]"},
      {"reshape overflow", {huge, huge}, {1}, reshape_to({0}), {}, Reshape{},
       "s: cannot reshape [1099511627776, 1099511627776] to [0]"},

      {"broadcast rank", {3}, {1}, broadcast_to({2, 3}), {2, 3}, Broadcast{{2, 3}}, ""},
      {"broadcast ones", {2, 1, 4}, {1}, broadcast_to({5, 2, 3, 4}), {5, 2, 3, 4}, Broadcast{{5, 2, 3, 4}}, ""},
      {"broadcast same", {2, 3}, {1}, broadcast_to({2, 3}), {2, 3}, Broadcast{{2, 3}}, ""},
      {"broadcast left-aligned", {2}, {1}, broadcast_to({2, 3}), {}, Broadcast{},
       "s: cannot broadcast [2] to [2, 3]"},
      {"broadcast to lower rank", {1, 3}, {1}, broadcast_to({3}), {}, Broadcast{},
       "s: cannot broadcast [1, 3] to [3]"},

      {"batch matmul", {2, 4, 8}, {2, 8, 16}, bmm, {2, 4, 16}, BatchMatMul{}, ""},
      {"batch matmul rank 2", {4, 8}, {8, 16}, bmm, {4, 16}, BatchMatMul{}, ""},
      {"batch matmul rank 4", {2, 3, 4, 5}, {2, 3, 5, 1}, bmm, {2, 3, 4, 1}, BatchMatMul{}, ""},
      {"batch matmul inner", {2, 4, 8}, {2, 4, 8}, bmm, {}, BatchMatMul{},
       "s: incompatible batch matmul [2, 4, 8] x [2, 4, 8]"},
      {"batch matmul leading", {2, 4, 8}, {3, 8, 16}, bmm, {}, BatchMatMul{},
       "s: incompatible batch matmul [2, 4, 8] x [3, 8, 16]"},
      {"batch matmul ranks differ", {2, 4, 8}, {8, 16}, bmm, {}, BatchMatMul{},
       "s: incompatible batch matmul [2, 4, 8] x [8, 16]"},
      {"batch matmul rank 1", {8}, {8}, bmm, {}, BatchMatMul{}, "s: incompatible batch matmul [8] x [8]"},

      {"slice", {4, 6}, {1}, slice(1, 2, 5), {4, 3}, Slice{1, 2, 5}, ""},
      {"slice whole axis", {4, 6}, {1}, slice(0, 0, 4), {4, 6}, Slice{0, 0, 4}, ""},
      {"slice axis", {4, 6}, {1}, slice(2, 0, 1), {}, Slice{}, "s: slice out of range"},
      {"slice empty", {4, 6}, {1}, slice(1, 3, 3), {}, Slice{}, "s: slice out of range"},
      {"slice past end", {4, 6}, {1}, slice(1, 2, 7), {}, Slice{}, "s: slice out of range"},

      {"reduce mean", {2, 3, 5}, {1}, reduce, {2, 3, 1}, ReduceMean{}, ""},
      {"reduce mean of nothing", {}, {1}, reduce, {}, ReduceMean{}, "s: reduce_mean of a scalar"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const TensorId a = graph.input("a", c.a);
    const TensorId b = graph.input("b", c.b);
    const Graph before = graph;
    const Result<TensorId> result = c.call(graph, a, b);
    if (!c.error.empty()) {
      EXPECT_EQ(result.error(), CompileError::graph(c.error));
      EXPECT_EQ(graph, before);
      continue;
    }
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(graph.tensors[result->index].shape, c.expected);
    ASSERT_EQ(graph.ops.size(), 1U);
    EXPECT_EQ(graph.ops[0].kind, c.kind);
  }
}

TEST(ModelOps, UnaryOpsKeepTheShape) {
  Graph graph;
  const TensorId x = graph.input("x", {3, 7});
  EXPECT_EQ(graph.erf("e", x).value_or(TensorId{}), TensorId{1});
  EXPECT_EQ(graph.tanh("t", x).value_or(TensorId{}), TensorId{2});
  EXPECT_EQ(graph.sqrt("q", x).value_or(TensorId{}), TensorId{3});
  for (std::uint64_t i = 1; i < 4; ++i) {
    EXPECT_EQ(graph.tensors[i].shape, (Shape{3, 7}));
    EXPECT_EQ(graph.ops[i - 1].inputs, (std::vector<TensorId>{x}));
  }
  EXPECT_EQ(graph.ops[0].kind, OpKind{Erf{}});
  EXPECT_EQ(graph.ops[1].kind, OpKind{Tanh{}});
  EXPECT_EQ(graph.ops[2].kind, OpKind{Sqrt{}});
}

TEST(ModelOps, UnknownInputsChangeNothing) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 2});
  const TensorId missing{5};
  const Graph before = graph;
  const CompileError expected = CompileError::graph("bad: unknown input");
  EXPECT_EQ(graph.mul("bad", x, missing).error(), expected);
  EXPECT_EQ(graph.sub("bad", missing, x).error(), expected);
  EXPECT_EQ(graph.div("bad", x, missing).error(), expected);
  EXPECT_EQ(graph.reshape("bad", missing, {4}).error(), expected);
  EXPECT_EQ(graph.broadcast("bad", missing, {2, 2}).error(), expected);
  EXPECT_EQ(graph.batch_matmul("bad", x, missing).error(), expected);
  EXPECT_EQ(graph.slice("bad", missing, 0, 0, 1).error(), expected);
  EXPECT_EQ(graph.erf("bad", missing).error(), expected);
  EXPECT_EQ(graph.tanh("bad", missing).error(), expected);
  EXPECT_EQ(graph.sqrt("bad", missing).error(), expected);
  EXPECT_EQ(graph.reduce_mean("bad", missing).error(), expected);
  EXPECT_EQ(graph, before);
}

TEST(ModelOps, NamesAndRenderings) {
  struct Named {
    OpKind kind;
    std::string_view operation;
    std::string rendering;
  };
  const Named cases[] = {
      {Sub{}, "sub", "Sub"},
      {Div{}, "div", "Div"},
      {Broadcast{{2, 3}}, "broadcast", "Broadcast { shape: [2, 3] }"},
      {BatchMatMul{}, "batch_matmul", "BatchMatMul"},
      {Slice{1, 0, 4}, "slice", "Slice { axis: 1, start: 0, end: 4 }"},
      {Erf{}, "erf", "Erf"},
      {Tanh{}, "tanh", "Tanh"},
      {Sqrt{}, "sqrt", "Sqrt"},
      {ReduceMean{}, "reduce_mean", "ReduceMean"},
      {Relu{}, "relu", "Relu"},
      {LeakyRelu{0.5F}, "leaky_relu", "LeakyRelu { alpha: 0.5 }"},
      {Selu{}, "selu", "Selu { alpha: 1.67326, gamma: 1.0507 }"},
      {HardSigmoid{}, "hard_sigmoid", "HardSigmoid { alpha: 0.2, beta: 0.5 }"},
      {Shrink{}, "shrink", "Shrink { bias: 0, lambd: 0.5 }"},
      {Round{}, "round", "Round"},
      {Atanh{}, "atanh", "Atanh"},
      {Clip{-1, 6}, "clip", "Clip { min: -1, max: 6 }"},
      {Mod{1}, "mod", "Mod { fmod: 1 }"},
      {LessOrEqual{}, "less_or_equal", "LessOrEqual"},
      {Where{}, "where", "Where"},
  };
  for (const Named& c : cases) {
    SCOPED_TRACE(c.rendering);
    EXPECT_EQ(operation_name(c.kind), c.operation);
    std::ostringstream out;
    out << c.kind;
    EXPECT_EQ(out.str(), c.rendering);
  }
  // The new kinds come after every existing one.
  EXPECT_EQ(OpKind{Sub{}}.index(), 8U);
  EXPECT_EQ(OpKind{ReduceMean{}}.index(), 16U);
  EXPECT_EQ(OpKind{Relu{}}.index(), 17U);
}

// Compiling handles every new kind as any other operation: one kernel command
// per output tile, named after the operation.
TEST(ModelOps, CompileAndVerify) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 16, 32});
  const TensorId w = graph.weight("w", {32});
  const TensorId wide = *graph.broadcast("wide", w, {2, 16, 32});
  const TensorId scaled = *graph.div("scaled", x, wide);
  const TensorId shifted = *graph.sub("shifted", scaled, x);
  const TensorId left = *graph.slice("left", shifted, 2, 0, 16);
  const TensorId right = *graph.transpose("right", *graph.slice("right_rows", shifted, 2, 16, 32), {0, 2, 1});
  const TensorId product = *graph.batch_matmul("product", left, right);
  const TensorId flat = *graph.reshape("flat", product, {32, 16});
  const TensorId mean = *graph.reduce_mean("mean", *graph.erf("erf", *graph.tanh("tanh", flat)));
  graph.mark_output(*graph.sqrt("root", *graph.mul("square", mean, mean)));
  ASSERT_TRUE(graph.validate());

  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule) << schedule.error();
  EXPECT_TRUE(verify_schedule(graph, *schedule, CompilerOptions{}));
  for (const Phase& phase : schedule->phases) {
    if (const auto* compute = std::get_if<Compute>(&phase)) {
      for (const KernelCommand& command : compute->commands) {
        EXPECT_EQ(command.specialization.operation, operation_name(graph.ops[compute->op.index].kind));
      }
    }
  }
}

}  // namespace
}  // namespace orvo_compiler
