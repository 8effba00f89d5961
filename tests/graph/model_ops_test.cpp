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
  const auto apply = [](OpKind kind) {
    return Call([kind](Graph& g, TensorId a, TensorId) { return g.apply("s", kind, {a}); });
  };
  const auto unary = [](OpKind kind) {
    return Call([kind](Graph& g, TensorId a, TensorId) { return g.apply("s", kind, {a}); });
  };
  const auto binary = [](OpKind kind) {
    return Call([kind](Graph& g, TensorId a, TensorId b) { return g.apply("s", kind, {a, b}); });
  };
  const auto concat3 = [](std::uint64_t axis) {
    return Call([axis](Graph& g, TensorId a, TensorId b) { return g.apply("s", Concat{axis}, {a, b, a}); });
  };

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

      {"reduce sum keeps axes", {2, 3, 5}, {1}, apply(ReduceSum{{0, 2}, true}), {1, 3, 1}, ReduceSum{{0, 2}, true},
       ""},
      {"reduce max drops axes", {2, 3, 5}, {1}, apply(ReduceMax{{0, 2}, false}), {3}, ReduceMax{{0, 2}, false}, ""},
      {"reduce every axis kept", {2, 3}, {1}, apply(ReduceL2{{0, 1}, true}), {1, 1}, ReduceL2{{0, 1}, true}, ""},
      {"reduce without axes", {2, 3}, {1}, apply(ReduceProd{{}, true}), {}, ReduceProd{},
       "s: reduce_prod needs at least one axis"},
      {"reduce axes descending", {2, 3}, {1}, apply(ReduceMin{{1, 0}, true}), {}, ReduceMin{},
       "s: reduce_min axes [1, 0] do not fit a rank-2 input; they must ascend and be below the rank"},
      {"reduce axis repeated", {2, 3}, {1}, apply(ReduceL1{{1, 1}, true}), {}, ReduceL1{},
       "s: reduce_l1 axes [1, 1] do not fit a rank-2 input; they must ascend and be below the rank"},
      {"reduce axis past the rank", {2, 3}, {1}, apply(ReduceMeanAxes{{2}, true}), {}, ReduceMeanAxes{},
       "s: reduce_mean_axes axes [2] do not fit a rank-2 input; they must ascend and be below the rank"},
      {"reduce everything away", {2, 3}, {1}, apply(ReduceLogSumExp{{0, 1}, false}), {}, ReduceLogSumExp{},
       "s: reduce_log_sum_exp of every axis without keepdims leaves no axis"},
      {"log softmax", {2, 3}, {1}, apply(LogSoftmax{0}), {2, 3}, LogSoftmax{0}, ""},
      {"log softmax axis", {2, 3}, {1}, apply(LogSoftmax{2}), {}, LogSoftmax{}, "s: log_softmax axis out of range"},
      {"hardmax", {2, 3}, {1}, apply(Hardmax{1}), {2, 3}, Hardmax{1}, ""},
      {"hardmax axis", {4}, {1}, apply(Hardmax{1}), {}, Hardmax{}, "s: hardmax axis out of range"},
      {"cum sum", {2, 3}, {1}, apply(CumSum{1, true, false}), {2, 3}, CumSum{1, true, false}, ""},
      {"cum sum axis", {2, 3}, {1}, apply(CumSum{2, false, false}), {}, CumSum{}, "s: cum_sum axis out of range"},
      {"arg max keeps the axis", {2, 3}, {1}, apply(ArgMax{1, true, false}), {2, 1}, ArgMax{1, true, false}, ""},
      {"arg min drops the axis", {2, 3}, {1}, apply(ArgMin{0, false, true}), {3}, ArgMin{0, false, true}, ""},
      {"arg max axis", {2, 3}, {1}, apply(ArgMax{2, true, false}), {}, ArgMax{}, "s: arg_max axis out of range"},
      {"arg min of the only axis", {4}, {1}, apply(ArgMin{0, false, false}), {}, ArgMin{},
       "s: arg_min of the only axis without keepdims leaves no axis"},
      {"concat", {2, 3}, {2, 5}, concat3(1), {2, 11}, Concat{1}, ""},
      {"concat one input", {2, 3}, {1}, unary(Concat{0}), {2, 3}, Concat{0}, ""},
      {"concat axis", {2, 3}, {2, 3}, concat3(2), {}, Concat{}, "s: concat axis 2 is out of range for rank 2"},
      {"concat other axis differs", {2, 3}, {3, 3}, concat3(1), {}, Concat{},
       "s: cannot concatenate [2, 3] with [3, 3] on axis 1"},
      {"concat ranks differ", {2, 3}, {2, 3, 1}, concat3(0), {}, Concat{},
       "s: cannot concatenate [2, 3] with [2, 3, 1] on axis 0"},
      {"concat overflow", {huge, 1}, {0 - huge / 2, 1}, concat3(0), {}, Concat{},
       "s: cannot concatenate [1099511627776, 1] with [18446743523953737728, 1] on axis 0"},

      {"tile", {2, 3}, {1}, unary(Tile{{3, 1}}), {6, 3}, Tile{{3, 1}}, ""},
      {"tile rank", {2, 3}, {1}, unary(Tile{{3}}), {}, Tile{}, "s: repeats [3] do not suit shape [2, 3]"},
      {"tile zero", {2, 3}, {1}, unary(Tile{{0, 1}}), {}, Tile{}, "s: repeats [0, 1] do not suit shape [2, 3]"},
      {"tile overflow", {huge}, {1}, unary(Tile{{huge * 8}}), {}, Tile{},
       "s: [1099511627776] repeated [8796093022208] times is too large"},
      {"tile count overflow", {1U << 31, 1U << 31}, {1}, unary(Tile{{1U << 31, 1U << 31}}), {}, Tile{},
       "s: output shape [4611686018427387904, 4611686018427387904] is too large"},

      {"pad", {2, 3}, {1}, binary(Pad{{1, 0, 2, -1}, "reflect"}), {5, 2}, Pad{{1, 0, 2, -1}, "reflect"}, ""},
      {"pad mode", {2, 3}, {1}, binary(Pad{{0, 0, 0, 0}, "wrap"}), {}, Pad{},
       "s: pad mode \"wrap\" is not constant, reflect or edge"},
      {"pad value", {2, 3}, {2}, binary(Pad{{0, 0, 0, 0}, "constant"}), {}, Pad{},
       "s: the pad value has shape [2], not one element"},
      {"pad count", {2, 3}, {1}, binary(Pad{{0, 0}, "constant"}), {}, Pad{},
       "s: pads [0, 0] do not suit shape [2, 3] in mode constant"},
      {"pad cuts everything", {2, 3}, {1}, binary(Pad{{0, -2, 0, -1}, "constant"}), {}, Pad{},
       "s: pads [0, -2, 0, -1] do not suit shape [2, 3] in mode constant"},
      {"pad cuts all but fills", {2, 3}, {1}, binary(Pad{{0, -3, 0, 1}, "constant"}), {2, 1},
       Pad{{0, -3, 0, 1}, "constant"}, ""},
      {"edge pad of nothing kept", {2, 3}, {1}, binary(Pad{{0, -3, 0, 1}, "edge"}), {}, Pad{},
       "s: pads [0, -3, 0, 1] do not suit shape [2, 3] in mode edge"},
      {"pad beyond any count", {2, 3}, {1}, binary(Pad{{0, std::numeric_limits<std::int64_t>::max(), 0, 0}, "edge"}),
       {}, Pad{}, "s: pads [0, 9223372036854775807, 0, 0] do not suit shape [2, 3] in mode edge"},

      {"strided slice", {4, 6}, {1}, unary(StridedSlice{{3, 0}, {-1, 2}, {4, 3}}), {4, 3},
       StridedSlice{{3, 0}, {-1, 2}, {4, 3}}, ""},
      {"strided slice past the end", {4, 6}, {1}, unary(StridedSlice{{0, 2}, {1, 2}, {4, 3}}), {},
       StridedSlice{}, "s: strided slice from 2 by 2 for 3 leaves axis 1 of size 6"},
      {"strided slice before the start", {4, 6}, {1}, unary(StridedSlice{{2, 0}, {-1, 1}, {4, 6}}), {},
       StridedSlice{}, "s: strided slice from 2 by -1 for 4 leaves axis 0 of size 4"},
      {"strided slice step 0", {4, 6}, {1}, unary(StridedSlice{{0, 0}, {1, 0}, {4, 1}}), {}, StridedSlice{},
       "s: strided slice from 0 by 0 for 1 leaves axis 1 of size 6"},
      {"strided slice rank", {4, 6}, {1}, unary(StridedSlice{{0}, {1}, {4}}), {}, StridedSlice{},
       "s: strided slice of rank 1 on shape [4, 6]"},
      {"strided slice huge step", {4, 6}, {1},
       unary(StridedSlice{{3, 0}, {std::numeric_limits<std::int64_t>::min(), 1}, {2, 6}}), {}, StridedSlice{},
       "s: strided slice from 3 by -9223372036854775808 for 2 leaves axis 0 of size 4"},

      {"trilu", {3, 2, 2}, {1}, unary(Trilu{false, 4}), {3, 2, 2}, Trilu{false, 4}, ""},
      {"trilu of a row", {3}, {1}, unary(Trilu{}), {}, Trilu{}, "s: trilu needs matrices, not shape [3]"},

      {"one hot", {2, 3}, {2}, binary(OneHot{5, 2}), {2, 3, 5}, OneHot{5, 2}, ""},
      {"one hot axis", {2, 3}, {2}, binary(OneHot{5, 3}), {}, OneHot{},
       "s: one_hot axis 3 and depth 5 do not suit indices [2, 3]"},
      {"one hot values", {2, 3}, {3}, binary(OneHot{5, 0}), {}, OneHot{},
       "s: the one_hot values have shape [3], not two elements"},

      {"cast", {2, 3}, {1}, unary(Cast{DType::F32}), {2, 3}, Cast{DType::F32}, ""},
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
      {ReduceSum{{0, 2}, false}, "reduce_sum", "ReduceSum { axes: [0, 2], keepdims: false }"},
      {ReduceMeanAxes{{1}, true}, "reduce_mean_axes", "ReduceMeanAxes { axes: [1], keepdims: true }"},
      {ReduceLogSumExp{{0}, true}, "reduce_log_sum_exp", "ReduceLogSumExp { axes: [0], keepdims: true }"},
      {LogSoftmax{1}, "log_softmax", "LogSoftmax { axis: 1 }"},
      {Hardmax{0}, "hardmax", "Hardmax { axis: 0 }"},
      {CumSum{1, true, false}, "cum_sum", "CumSum { axis: 1, exclusive: true, reverse: false }"},
      {ArgMax{0, true, false}, "arg_max", "ArgMax { axis: 0, keepdims: true, select_last_index: false }"},
      {ArgMin{1, false, true}, "arg_min", "ArgMin { axis: 1, keepdims: false, select_last_index: true }"},
      {Concat{1}, "concat", "Concat { axis: 1 }"},
      {Gather{0}, "gather", "Gather { axis: 0 }"},
      {Tile{{2, 1}}, "tile", "Tile { repeats: [2, 1] }"},
      {Pad{{1, -1}, "edge"}, "pad", "Pad { pads: [1, -1], mode: \"edge\" }"},
      {StridedSlice{{3}, {-2}, {2}}, "strided_slice", "StridedSlice { starts: [3], steps: [-2], shape: [2] }"},
      {Cast{DType::F32}, "cast", "Cast { to: F32 }"},
      {Trilu{true, -1}, "trilu", "Trilu { upper: true, k: -1 }"},
      {OneHot{10, 1}, "one_hot", "OneHot { depth: 10, axis: 1 }"},
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
      {Conv{2, {1, 2}, {}, {0, 1, 0, 1}}, "conv",
       "Conv { group: 2, strides: [1, 2], dilations: [], pads: [0, 1, 0, 1] }"},
      {MaxPool{{2, 2}, {}, {}, {}, true}, "max_pool",
       "MaxPool { kernel: [2, 2], strides: [], dilations: [], pads: [], ceil_mode: true }"},
      {AveragePool{{3}, {2}, {1, 1}, false, true}, "average_pool",
       "AveragePool { kernel: [3], strides: [2], pads: [1, 1], ceil_mode: false, count_include_pad: true }"},
      {GlobalAveragePool{}, "global_average_pool", "GlobalAveragePool"},
      {GlobalMaxPool{}, "global_max_pool", "GlobalMaxPool"},
      {BatchNormalization{0.5F}, "batch_normalization", "BatchNormalization { epsilon: 0.5 }"},
      {ConvTranspose{2, {2}, {}, {1, 0}, {1}}, "conv_transpose",
       "ConvTranspose { group: 2, strides: [2], dilations: [], pads: [1, 0], output_padding: [1] }"},
      {Resize{{1, 4}, {1, 2.5F}, "linear", "asymmetric", "floor"}, "resize",
       "Resize { shape: [1, 4], scales: [1, 2.5], mode: \"linear\", coordinate_transformation_mode: "
       "\"asymmetric\", nearest_mode: \"floor\" }"},
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
  EXPECT_EQ(OpKind{ReduceSum{}}.index(), 17U);
  EXPECT_EQ(OpKind{CumSum{}}.index(), 29U);
  EXPECT_EQ(OpKind{ArgMin{}}.index(), 31U);
  EXPECT_EQ(OpKind{Concat{}}.index(), 32U);
  EXPECT_EQ(OpKind{OneHot{}}.index(), 39U);
  EXPECT_EQ(OpKind{Relu{}}.index(), 40U);
  EXPECT_EQ(OpKind{Where{}}.index(), 89U);
  EXPECT_EQ(OpKind{Conv{}}.index(), 90U);
  EXPECT_EQ(OpKind{BatchNormalization{}}.index(), 95U);
  EXPECT_EQ(OpKind{ConvTranspose{}}.index(), 96U);
  EXPECT_EQ(OpKind{Resize{}}.index(), std::variant_size_v<OpKind> - 1);
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
