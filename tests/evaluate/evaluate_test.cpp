// The graph evaluator: each operation kind on hand-worked values (bit
// patterns where rounding matters), broadcasting, softmax over leading axes,
// decompositions that must equal the fused kinds bit for bit, the encoder
// layer against the host reference, outputs, and every error with its text.
#include "orvo_compiler/evaluate.hpp"

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include "evaluate/multi_head_encoder.hpp"
#include "kernels/exact_math.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/kernels.hpp"

namespace orvo_compiler {
namespace {

// The values of an F32 tensor.
const std::vector<float>& floats(const TensorData& data) { return std::get<std::vector<float>>(data); }

using test_support::encoder_values;
using test_support::multi_head_encoder_graph;

constexpr float infinity = std::numeric_limits<float>::infinity();

std::vector<std::uint32_t> bits(std::span<const float> values) {
  std::vector<std::uint32_t> out;
  for (const float value : values) {
    out.push_back(std::bit_cast<std::uint32_t>(value));
  }
  return out;
}

float from_bits(std::uint32_t pattern) { return std::bit_cast<float>(pattern); }

// Evaluates `graph` and returns the values of its first output; empty (with a
// test failure) when evaluation fails.
std::vector<float> first_output(const Graph& graph, const TensorValues& values) {
  const Result<TensorValues> outputs = evaluate(graph, values);
  if (!outputs) {
    ADD_FAILURE() << outputs.error();
    return {};
  }
  return floats(outputs->at(graph.outputs.front()));
}

// One operation on source a (and b, when its shape is not empty).
using Call = std::function<Result<TensorId>(Graph&, TensorId, TensorId)>;

struct OpCase {
  const char* name;
  Shape a_shape;
  std::vector<float> a;
  Shape b_shape;
  std::vector<float> b;
  Call call;
  std::vector<float> expected;
};

TEST(Evaluate, EachOperationKind) {
  const auto matmul = [](Graph& g, TensorId a, TensorId b) { return g.matmul("o", a, b); };
  const auto bmm = [](Graph& g, TensorId a, TensorId b) { return g.batch_matmul("o", a, b); };
  const auto add = [](Graph& g, TensorId a, TensorId b) { return g.add("o", a, b); };
  const auto sub = [](Graph& g, TensorId a, TensorId b) { return g.sub("o", a, b); };
  const auto mul = [](Graph& g, TensorId a, TensorId b) { return g.mul("o", a, b); };
  const auto div = [](Graph& g, TensorId a, TensorId b) { return g.div("o", a, b); };
  const auto reshape = [](Shape shape) {
    return Call([shape](Graph& g, TensorId a, TensorId) { return g.reshape("o", a, shape); });
  };
  const auto transpose = [](std::vector<std::uint64_t> permutation) {
    return Call([permutation](Graph& g, TensorId a, TensorId) { return g.transpose("o", a, permutation); });
  };
  const auto slice = [](std::uint64_t axis, std::uint64_t start, std::uint64_t end) {
    return Call([=](Graph& g, TensorId a, TensorId) { return g.slice("o", a, axis, start, end); });
  };
  const auto layer_norm = [](Graph& g, TensorId a, TensorId) { return g.layer_norm("o", a, 1e-5F); };
  const auto softmax_last = [](Graph& g, TensorId a, TensorId) { return g.softmax("o", a, 1); };
  const auto gelu = [](Graph& g, TensorId a, TensorId) { return g.gelu("o", a); };
  const auto erf = [](Graph& g, TensorId a, TensorId) { return g.erf("o", a); };
  const auto tanh = [](Graph& g, TensorId a, TensorId) { return g.tanh("o", a); };
  const auto sqrt = [](Graph& g, TensorId a, TensorId) { return g.sqrt("o", a); };
  const auto mean = [](Graph& g, TensorId a, TensorId) { return g.reduce_mean("o", a); };
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const float ln2 = from_bits(0x3F317218);
  // A kind reading a alone, or a and b.
  const auto unary = [](OpKind kind) {
    return Call([kind](Graph& g, TensorId a, TensorId) { return g.apply("o", kind, {a}); });
  };
  const auto binary = [](OpKind kind) {
    return Call([kind](Graph& g, TensorId a, TensorId b) { return g.apply("o", kind, {a, b}); });
  };
  constexpr float largest = std::numeric_limits<float>::max();
  const float pi = from_bits(0x40490FDB);
  const float half_pi = from_bits(0x3FC90FDB);

  const OpCase cases[] = {
      {"matmul", {2, 2}, {1, 2, 3, 4}, {2, 2}, {5, 6, 7, 8}, matmul, {19, 22, 43, 50}},
      // 1e8 + 1 rounds back to 1e8, so only the ascending order gives 0.
      {"matmul sums k ascending", {1, 3}, {1e8F, 1, -1e8F}, {3, 1}, {1, 1, 1}, matmul, {0}},
      {"batch matmul", {2, 1, 3}, {1, 2, 3, 1e8F, 1, -1e8F}, {2, 3, 1}, {4, 5, 6, 1, 1, 1}, bmm, {32, 0}},
      {"batch matmul rank 4", {2, 1, 1, 2}, {1, 2, 5, 6}, {2, 1, 2, 1}, {3, 4, 7, 8}, bmm, {11, 83}},
      // 1 + 2^-24 ties to 1; 1 + 3 x 2^-24 ties to the even 1 + 2^-22.
      {"add", {3}, {1, 1, -0.0F}, {3}, {from_bits(0x33800000), from_bits(0x34400000), -0.0F}, add,
       {1, from_bits(0x3F800002), -0.0F}},
      {"sub", {3}, {3, 0, 1}, {3}, {1, 0, from_bits(0x33000000)}, sub, {2, 0, 1}},
      {"mul", {2}, {from_bits(0x3EAAAAAB), -2}, {2}, {3, 0}, mul, {1, -0.0F}},
      {"div", {3}, {1, 2, 1}, {3}, {3, 3, 0}, div, {from_bits(0x3EAAAAAB), from_bits(0x3F2AAAAB), infinity}},
      {"reshape", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, reshape({3, 2}), {1, 2, 3, 4, 5, 6}},
      {"transpose", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, transpose({1, 0}), {1, 4, 2, 5, 3, 6}},
      {"transpose rank 3", {2, 2, 2}, {0, 1, 2, 3, 4, 5, 6, 7}, {}, {}, transpose({2, 0, 1}),
       {0, 2, 4, 6, 1, 3, 5, 7}},
      {"slice columns", {2, 4}, {1, 2, 3, 4, 5, 6, 7, 8}, {}, {}, slice(1, 1, 3), {2, 3, 6, 7}},
      {"slice rows", {2, 4}, {1, 2, 3, 4, 5, 6, 7, 8}, {}, {}, slice(0, 1, 2), {5, 6, 7, 8}},
      {"slice middle axis", {2, 2, 2}, {0, 1, 2, 3, 4, 5, 6, 7}, {}, {}, slice(1, 1, 2), {2, 3, 6, 7}},
      // Mean 2.5, variance 1.25; a constant row normalises to +0.0.
      {"layer norm", {2, 4}, {1, 2, 3, 4, 2, 2, 2, 2}, {}, {}, layer_norm,
       {from_bits(0xBFABBAB6), from_bits(0xBEE4F8F3), from_bits(0x3EE4F8F3), from_bits(0x3FABBAB6), 0, 0, 0, 0}},
      {"softmax last axis", {2, 2}, {5, 5, -infinity, 0}, {}, {}, softmax_last, {0.5F, 0.5F, 0, 1}},
      {"gelu", {3}, {0, 10, -10}, {}, {}, gelu, {0, 10, -0.0F}},
      {"erf", {5}, {0, -0.0F, 0.5F, infinity, -infinity}, {}, {}, erf, {0, -0.0F, from_bits(0x3F053F7B), 1, -1}},
      {"tanh", {4}, {0.5F, -2, infinity, -0.0F}, {}, {}, tanh,
       {from_bits(0x3EEC9A9F), from_bits(0xBF76CA83), 1, -0.0F}},
      {"sqrt", {4}, {4, 2, -0.0F, infinity}, {}, {}, sqrt, {2, from_bits(0x3FB504F3), -0.0F, infinity}},
      // Rows summed first to last: 1e8 + 1 - 1e8 is 0; 0.1 + 0.2 + 0.3 is 0x3F19999A.
      {"reduce mean", {3, 3}, {1, 2, 3, 1e8F, 1, -1e8F, 0.1F, 0.2F, 0.3F}, {}, {}, mean,
       {2, 0, from_bits(0x3E4CCCCD)}},
      {"reduce mean keeps -0", {2, 2}, {-0.0F, -0.0F, 1, 2}, {}, {}, mean, {-0.0F, 1.5F}},
      {"reduce sum", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, unary(ReduceSum{{0}, true}), {5, 7, 9}},
      // First to last: 1 + 1e8 - 1e8 is 0 (the other way round, 1).
      {"reduce sum first to last", {3, 1}, {1, 1e8F, -1e8F}, {}, {}, unary(ReduceSum{{0}, false}), {0}},
      // Row-major over both axes: 1e8 + 1 - 1e8 + 1 is 1 (column-major, 1e8 - 1e8 + 1 + 1 is 2).
      {"reduce sum row-major", {2, 2}, {1e8F, 1, -1e8F, 1}, {}, {}, unary(ReduceSum{{0, 1}, true}), {1}},
      {"reduce sum keeps -0", {2, 1}, {-0.0F, -0.0F}, {}, {}, unary(ReduceSum{{0}, true}), {-0.0F}},
      {"reduce mean axes", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, unary(ReduceMeanAxes{{0}, false}), {2.5F, 3.5F, 4.5F}},
      {"reduce max", {2, 3}, {1, nan, 3, -infinity, -infinity, -infinity}, {}, {}, unary(ReduceMax{{1}, true}),
       {nan, -infinity}},
      {"reduce min", {2, 2}, {3, -0.0F, 1, 0}, {}, {}, unary(ReduceMin{{0}, false}), {1, -0.0F}},
      {"reduce prod", {2, 2}, {2, 3, -1, 0}, {}, {}, unary(ReduceProd{{1}, true}), {6, -0.0F}},
      {"reduce l1", {1, 3}, {-1, 2, -3}, {}, {}, unary(ReduceL1{{1}, true}), {6}},
      {"reduce l2", {1, 2}, {3, -4}, {}, {}, unary(ReduceL2{{1}, true}), {5}},
      {"reduce sum square", {1, 3}, {1, -2, 3}, {}, {}, unary(ReduceSumSquare{{1}, true}), {14}},
      {"reduce log sum", {2, 2}, {0.5F, 0.5F, 1, 1}, {}, {}, unary(ReduceLogSum{{1}, false}), {0, ln2}},
      {"reduce log sum exp", {2, 2}, {0, 0, -infinity, -infinity}, {}, {}, unary(ReduceLogSumExp{{1}, false}),
       {ln2, -infinity}},
      // Column 0: d = 0, 0, the total 2; column 1: d = 0, -inf, the total 1.
      {"log softmax", {2, 2}, {5, 0, 5, -infinity}, {}, {}, unary(LogSoftmax{0}), {-ln2, 0, -ln2, -infinity}},
      // Column 0: the first 3 wins; column 1: the first NaN.
      {"hardmax", {3, 2}, {1, nan, 3, 2, 3, nan}, {}, {}, unary(Hardmax{0}), {0, 1, 1, 0, 0, 0}},
      {"cum sum", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, unary(CumSum{1, false, false}), {1, 3, 6, 4, 9, 15}},
      {"cum sum exclusive reversed", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, unary(CumSum{1, true, true}),
       {5, 3, 0, 11, 6, 0}},
      {"cum sum keeps -0", {2, 1}, {-0.0F, -0.0F}, {}, {}, unary(CumSum{0, false, false}), {-0.0F, -0.0F}},
      {"cum sum exclusive starts at +0", {2, 1}, {-0.0F, -0.0F}, {}, {}, unary(CumSum{0, true, false}), {0, -0.0F}},
      {"concat axis 1", {2, 1}, {1, 2}, {2, 2}, {3, 4, 5, 6}, binary(Concat{1}), {1, 3, 4, 2, 5, 6}},
      {"concat axis 0", {1, 2}, {-0.0F, 1}, {2, 2}, {3, 4, 5, 6}, binary(Concat{0}), {-0.0F, 1, 3, 4, 5, 6}},
      {"tile", {2, 1}, {1, 2}, {}, {}, unary(Tile{{2, 2}}), {1, 1, 2, 2, 1, 1, 2, 2}},
      {"pad constant", {2, 2}, {1, 2, 3, 4}, {1}, {9}, binary(Pad{{0, 1, 1, 0}, "constant"}),
       {9, 1, 2, 9, 3, 4, 9, 9, 9}},
      // Reflection without the edge: [1, 2, 3] padded by 2 reads 3 2 | 1 2 3 | 2 1.
      {"pad reflect", {1, 3}, {1, 2, 3}, {1}, {0}, binary(Pad{{0, 2, 0, 2}, "reflect"}), {3, 2, 1, 2, 3, 2, 1}},
      {"pad edge", {1, 2}, {1, 2}, {1}, {0}, binary(Pad{{0, 2, 0, 1}, "edge"}), {1, 1, 1, 2, 2}},
      // A negative pad cuts first; the edge is then the cut tensor's.
      {"pad cuts then repeats the new edge", {1, 4}, {1, 2, 3, 4}, {1}, {0}, binary(Pad{{0, -1, 0, 1}, "edge"}),
       {2, 3, 4, 4}},
      {"pad reflect past one period", {1, 2}, {1, 2}, {1}, {0}, binary(Pad{{0, 3, 0, 0}, "reflect"}),
       {2, 1, 2, 1, 2}},
      {"strided slice backwards", {2, 4}, {0, 1, 2, 3, 4, 5, 6, 7}, {}, {},
       unary(StridedSlice{{1, 3}, {-1, -2}, {2, 2}}), {7, 5, 3, 1}},
      {"strided slice by 3", {1, 7}, {0, 1, 2, 3, 4, 5, 6}, {}, {}, unary(StridedSlice{{0, 1}, {1, 3}, {1, 2}}),
       {1, 4}},
      {"trilu upper", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, unary(Trilu{true, 0}), {1, 2, 3, 0, 5, 6}},
      {"trilu lower below the diagonal", {2, 3}, {1, 2, 3, 4, 5, 6}, {}, {}, unary(Trilu{false, -1}),
       {0, 0, 0, 4, 0, 0}},
      {"trilu upper of a stack", {2, 2, 2}, {1, 2, 3, 4, 5, 6, 7, 8}, {}, {}, unary(Trilu{true, 1}),
       {0, 2, 0, 0, 0, 6, 0, 0}},
      // Float indices truncate towards zero; -1 means depth - 1.
      {"one hot last axis", {3}, {0, 2.7F, -1}, {2}, {0, 5}, binary(OneHot{3, 1}), {5, 0, 0, 0, 0, 5, 0, 0, 5}},
      {"one hot first axis", {3}, {0, 2.7F, -1}, {2}, {0, 5}, binary(OneHot{3, 0}), {5, 0, 0, 0, 0, 0, 0, 5, 5}},
      {"cast keeping F32", {2}, {-0.0F, 1.5F}, {}, {}, unary(Cast{DType::F32}), {-0.0F, 1.5F}},
      // Functions of one element; glibc's functions on values whose correctly
      // rounded result it gives.
      {"relu", {5}, {-2, -0.0F, 3, -infinity, nan}, {}, {}, unary(Relu{}), {0, -0.0F, 3, 0, nan}},
      {"leaky relu", {2}, {-2, 3}, {}, {}, unary(LeakyRelu{}), {from_bits(0xBCA3D70A), 3}},
      {"elu", {4}, {-infinity, 2, 0, -0.0F}, {}, {}, unary(Elu{}), {-1, 2, 0, -0.0F}},
      {"elu alpha", {1}, {-infinity}, {}, {}, unary(Elu{0.5F}), {-0.5F}},
      {"selu", {3}, {1, 0, -infinity}, {}, {}, unary(Selu{}), {from_bits(0x3F867D5F), 0, from_bits(0xBFE10966)}},
      {"celu", {3}, {-infinity, 2, -0.0F}, {}, {}, unary(Celu{2}), {-2, 2, 0}},
      {"thresholded relu", {3}, {1, 2, -5}, {}, {}, unary(ThresholdedRelu{}), {0, 2, 0}},
      {"sigmoid", {4}, {0, -infinity, infinity, 100}, {}, {}, unary(Sigmoid{}), {0.5F, 0, 1, 1}},
      {"hard sigmoid", {4}, {0, 10, -10, 1}, {}, {}, unary(HardSigmoid{}), {0.5F, 1, 0, from_bits(0x3F333333)}},
      {"hard swish", {4}, {3, -3, 6, 1}, {}, {}, unary(HardSwish{}), {3, -0.0F, 6, from_bits(0x3F2AAAAB)}},
      // ln 2 at 0; e^1000 would overflow, the split form gives 1000.
      {"softplus", {4}, {0, 100, -infinity, 1000}, {}, {}, unary(Softplus{}), {from_bits(0x3F317218), 100, 0, 1000}},
      {"softsign", {3}, {1, -3, 0}, {}, {}, unary(Softsign{}), {0.5F, -0.75F, 0}},
      {"shrink", {4}, {2, -2, 1, -1}, {}, {}, unary(Shrink{1.5F, 1}), {0.5F, -0.5F, 0, 0}},
      {"exp", {3}, {0, 1, -infinity}, {}, {}, unary(Exp{}), {1, from_bits(0x402DF854), 0}},
      {"log", {4}, {1, 0, infinity, 2}, {}, {}, unary(Log{}), {0, -infinity, infinity, from_bits(0x3F317218)}},
      {"neg", {2}, {1, -0.0F}, {}, {}, unary(Neg{}), {-1, 0}},
      {"abs", {2}, {-2, -0.0F}, {}, {}, unary(Abs{}), {2, 0}},
      {"reciprocal", {3}, {4, -0.0F, 3}, {}, {}, unary(Reciprocal{}), {0.25F, -infinity, from_bits(0x3EAAAAAB)}},
      {"floor", {3}, {-1.5F, 1.5F, -0.0F}, {}, {}, unary(Floor{}), {-2, 1, -0.0F}},
      {"ceil", {3}, {-1.5F, 1.5F, -0.5F}, {}, {}, unary(Ceil{}), {-1, 2, -0.0F}},
      // Halves to even; 2^23 + 1 is an integer already.
      {"round", {7}, {0.5F, 1.5F, 2.5F, -0.5F, -2.5F, 2.6F, 8388609}, {}, {}, unary(Round{}),
       {0, 2, 2, -0.0F, -2, 3, 8388609}},
      {"sign", {5}, {-3, 0, -0.0F, 5, nan}, {}, {}, unary(Sign{}), {-1, 0, 0, 1, nan}},
      {"sin", {2}, {-0.0F, 1}, {}, {}, unary(Sin{}), {-0.0F, from_bits(0x3F576AA4)}},
      {"cos", {2}, {0, 1}, {}, {}, unary(Cos{}), {1, from_bits(0x3F0A5140)}},
      {"tan", {2}, {0, 1}, {}, {}, unary(Tan{}), {0, from_bits(0x3FC75923)}},
      {"asin", {2}, {1, 0}, {}, {}, unary(Asin{}), {half_pi, 0}},
      {"acos", {2}, {1, -1}, {}, {}, unary(Acos{}), {0, pi}},
      {"atan", {2}, {infinity, 1}, {}, {}, unary(Atan{}), {half_pi, from_bits(0x3F490FDB)}},
      {"sinh", {2}, {0, 1}, {}, {}, unary(Sinh{}), {0, from_bits(0x3F966CFE)}},
      // glibc's coshf(1) is one ulp below the correctly rounded 0x3FC583AB.
      {"cosh", {2}, {0, 1}, {}, {}, unary(Cosh{}), {1, from_bits(0x3FC583AA)}},
      {"asinh", {2}, {0, 1}, {}, {}, unary(Asinh{}), {0, from_bits(0x3F61A1B3)}},
      {"acosh", {2}, {1, 2}, {}, {}, unary(Acosh{}), {0, from_bits(0x3FA89214)}},
      {"atanh", {3}, {0, 0.5F, 1}, {}, {}, unary(Atanh{}), {0, from_bits(0x3F0C9F54), infinity}},
      {"clip", {4}, {-5, 0.5F, 7, nan}, {}, {}, unary(Clip{-1, 2}), {-1, 0.5F, 2, nan}},
      {"clip max wins", {2}, {0, 5}, {}, {}, unary(Clip{3, 1}), {1, 1}},
      {"clip default", {2}, {-infinity, infinity}, {}, {}, unary(Clip{}), {-largest, largest}},
      // Operands broadcast, read in place; NaN wins in Max and Min.
      {"max broadcasts", {2, 2}, {1, nan, -3, 4}, {2}, {2, 0}, binary(Max{}), {2, nan, 2, 4}},
      {"min broadcasts", {2, 1}, {1, -3}, {3}, {2, nan, -4}, binary(Min{}), {1, nan, -4, -3, nan, -4}},
      {"sum", {2}, {1, 2.5F}, {2}, {0.5F, -1}, binary(Sum{}), {1.5F, 1.5F}},
      {"mean", {2}, {1, 2}, {2}, {2, 2}, binary(Mean{}), {1.5F, 2}},
      {"pow", {4}, {2, -2, 0, 4}, {4}, {0.5F, 3, -1, -0.5F}, binary(Pow{}),
       {from_bits(0x3FB504F3), -8, infinity, 0.5F}},
      {"prelu", {2, 2}, {-2, 3, -4, -0.0F}, {2}, {0.5F, 2}, binary(PRelu{}), {-1, 3, -2, -0.0F}},
      {"mod truncated", {4}, {5, -5, 5, -5}, {4}, {3, 3, -3, -3}, binary(Mod{1}), {2, -2, 2, -2}},
      {"mod floored", {4}, {5, -5, 5, -6}, {4}, {3, 3, -3, -3}, binary(Mod{0}), {2, 1, -1, -0.0F}},
  };
  for (const OpCase& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    TensorValues values;
    const TensorId a = graph.input("a", c.a_shape);
    values[a] = c.a;
    TensorId b = a;
    if (!c.b_shape.empty()) {
      b = graph.input("b", c.b_shape);
      values[b] = c.b;
    }
    const Result<TensorId> output = c.call(graph, a, b);
    ASSERT_TRUE(output.has_value()) << output.error();
    graph.mark_output(*output);
    EXPECT_EQ(bits(first_output(graph, values)), bits(c.expected));
  }
}

// The kinds that read or write I64: ArgMax and ArgMin (I64 indices of F32 or
// I64 inputs, NaN counted as the extreme, ties to the first or the last) and
// CumSum on I64 (wrapping).
TEST(Evaluate, IndexAndIntegerKinds) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* name;
    Shape shape;
    TensorData input;
    OpKind kind;
    TensorData expected;
  };
  const Case cases[] = {
      {"arg max along rows", {2, 3}, TensorData{1, 5, 5, 7, 2, 3}, ArgMax{1, true, false}, std::vector<std::int64_t>{1, 0}},
      {"arg max last of ties", {2, 3}, TensorData{1, 5, 5, 7, 2, 3}, ArgMax{1, false, true}, std::vector<std::int64_t>{2, 0}},
      {"arg min along columns", {2, 3}, TensorData{1, 5, 5, 7, 2, 3}, ArgMin{0, false, false},
       std::vector<std::int64_t>{0, 1, 1}},
      {"arg max takes the first NaN", {1, 4}, TensorData{1, nan, 9, nan}, ArgMax{1, true, false},
       std::vector<std::int64_t>{1}},
      {"arg min takes the last NaN", {1, 4}, TensorData{nan, 0, nan, -9}, ArgMin{1, true, true},
       std::vector<std::int64_t>{2}},
      {"arg max of integers", {3, 1}, std::vector<std::int64_t>{-4, most, most}, ArgMax{0, true, false},
       std::vector<std::int64_t>{1}},
      {"cum sum of integers wraps", {3}, std::vector<std::int64_t>{most, 1, 2}, CumSum{0, false, false},
       std::vector<std::int64_t>{most, std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::int64_t>::min() + 2}},
      {"cum sum of integers, exclusive reversed", {2, 2}, std::vector<std::int64_t>{1, 2, 3, 4},
       CumSum{0, true, true}, std::vector<std::int64_t>{3, 4, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const TensorId x = graph.input("x", c.shape, dtype_of(c.input));
    const Result<TensorId> output = graph.apply("o", c.kind, {x});
    ASSERT_TRUE(output.has_value()) << output.error();
    EXPECT_EQ(graph.tensors[output->index].dtype, dtype_of(c.expected));
    graph.mark_output(*output);
    const Result<TensorValues> outputs = evaluate(graph, {{x, c.input}});
    ASSERT_TRUE(outputs.has_value()) << outputs.error();
    EXPECT_EQ(outputs->at(*output), c.expected);
  }
  Graph graph;
  const TensorId flags = graph.input("flags", {2}, DType::Bool);
  EXPECT_EQ(graph.apply("s", CumSum{}, {flags}).error(),
            CompileError::graph("s: cum_sum takes F32 or I64 inputs, not Bool"));
  EXPECT_EQ(graph.apply("s", ArgMax{}, {flags}).error(),
            CompileError::graph("s: arg_max takes F32 or I64 inputs, not Bool"));
}

struct BroadcastCase {
  Shape from;
  std::vector<float> values;
  Shape to;
  std::vector<float> expected;
};

// The kinds of several inputs on every element type they take: operands of
// different shapes read where numpy's broadcast places them, variadic inputs
// combined first to last, Bool results as 0 or 1.
TEST(Evaluate, ElementwiseKindsOfEachElementType) {
  using Integers = std::vector<std::int64_t>;
  using Bools = std::vector<std::uint8_t>;
  using Floats = std::vector<float>;
  struct Operand {
    Shape shape;
    TensorData values;
  };
  struct Case {
    const char* name;
    OpKind kind;
    std::vector<Operand> inputs;
    TensorData expected;
  };
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
  const Case cases[] = {
      {"equal I64 broadcasts", Equal{}, {{{2, 2}, Integers{1, 2, 3, 4}}, {{2}, Integers{1, 4}}}, Bools{1, 0, 0, 1}},
      {"equal Bool", Equal{}, {{{2}, Bools{1, 0}}, {{2}, Bools{1, 1}}}, Bools{1, 0}},
      {"equal F32, NaN unequal", Equal{}, {{{2}, Floats{nan, -0.0F}}, {{2}, Floats{nan, 0}}}, Bools{0, 1}},
      {"less F32", Less{}, {{{3}, Floats{1, nan, 2}}, {{3}, Floats{2, 1, 2}}}, Bools{1, 0, 0}},
      {"greater I64", Greater{}, {{{3}, Integers{-1, 5, 5}}, {{1}, Integers{4}}}, Bools{0, 1, 1}},
      {"less or equal", LessOrEqual{}, {{{3}, Floats{1, 2, 3}}, {{1}, Floats{2}}}, Bools{1, 1, 0}},
      {"greater or equal", GreaterOrEqual{}, {{{3}, Integers{1, 2, 3}}, {{1}, Integers{2}}}, Bools{0, 1, 1}},
      {"not", Not{}, {{{2}, Bools{1, 0}}}, Bools{0, 1}},
      {"and broadcasts", And{}, {{{2, 2}, Bools{1, 1, 0, 1}}, {{2}, Bools{1, 0}}}, Bools{1, 0, 0, 0}},
      {"or", Or{}, {{{4}, Bools{0, 0, 1, 1}}, {{4}, Bools{0, 1, 0, 1}}}, Bools{0, 1, 1, 1}},
      {"xor", Xor{}, {{{4}, Bools{0, 0, 1, 1}}, {{4}, Bools{0, 1, 0, 1}}}, Bools{0, 1, 1, 0}},
      {"where broadcasts all three", Where{},
       {{{2, 1}, Bools{1, 0}}, {{3}, Integers{1, 2, 3}}, {{1}, Integers{9}}}, Integers{1, 2, 3, 9, 9, 9}},
      {"where F32", Where{}, {{{2}, Bools{0, 1}}, {{2}, Floats{1, 2}}, {{2}, Floats{3, 4}}}, Floats{3, 2}},
      {"max of three I64", Max{}, {{{1}, Integers{5}}, {{3}, Integers{1, 7, -2}}, {{3}, Integers{6, 0, 0}}},
       Integers{6, 7, 5}},
      {"min I64", Min{}, {{{3}, Integers{1, 7, -2}}, {{1}, Integers{0}}}, Integers{0, 0, -2}},
      {"max of one input", Max{}, {{{2}, Floats{1, -0.0F}}}, Floats{1, -0.0F}},
      // First to last: (1e8 + 1) - 1e8 is 0; another order gives 1.
      {"sum in input order", Sum{}, {{{1}, Floats{1e8F}}, {{1}, Floats{1}}, {{1}, Floats{-1e8F}}}, Floats{0}},
      {"sum I64 wraps", Sum{}, {{{1}, Integers{highest}}, {{1}, Integers{1}}}, Integers{lowest}},
      {"mean of three", Mean{}, {{{1}, Floats{1}}, {{1}, Floats{2}}, {{1}, Floats{4}}}, Floats{from_bits(0x40155555)}},
      {"pow with an I64 exponent", Pow{}, {{{3}, Floats{2, -2, 3}}, {{3}, Integers{10, 3, -1}}},
       Floats{1024, -8, from_bits(0x3EAAAAAB)}},
      {"mod I64 truncated", Mod{1}, {{{4}, Integers{5, -5, 5, -5}}, {{4}, Integers{3, 3, -3, -3}}},
       Integers{2, -2, 2, -2}},
      {"mod I64 floored", Mod{0}, {{{4}, Integers{5, -5, 5, -5}}, {{4}, Integers{3, 3, -3, -3}}},
       Integers{2, 1, -1, -2}},
      {"mod of the lowest I64 by -1", Mod{0}, {{{1}, Integers{lowest}}, {{1}, Integers{-1}}}, Integers{0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    TensorValues values;
    std::vector<TensorId> inputs;
    for (const Operand& operand : c.inputs) {
      inputs.push_back(graph.input(fmt::format("in{}", inputs.size()), operand.shape, dtype_of(operand.values)));
      values[inputs.back()] = operand.values;
    }
    const Result<TensorId> output = graph.apply("o", c.kind, inputs);
    ASSERT_TRUE(output) << output.error();
    graph.mark_output(*output);
    const Result<TensorValues> outputs = evaluate(graph, values);
    ASSERT_TRUE(outputs) << outputs.error();
    const TensorData& result = outputs->at(*output);
    ASSERT_EQ(dtype_of(result), dtype_of(c.expected));
    if (dtype_of(result) == DType::F32) {
      EXPECT_EQ(bits(std::get<Floats>(result)), bits(std::get<Floats>(c.expected)));
    } else {
      EXPECT_EQ(result, c.expected);
    }
  }
}

// The type and shape rules of those kinds, each with its exact text, and an
// integer remainder by zero refused when evaluating.
TEST(Evaluate, ElementwiseKindRulesAndErrors) {
  struct Case {
    const char* name;
    OpKind kind;
    std::vector<std::pair<Shape, DType>> inputs;
    std::string error;
  };
  const Case cases[] = {
      {"equal of two types", Equal{}, {{{2}, DType::F32}, {{2}, DType::I64}},
       "o: equal takes inputs of one element type, not F32 and I64"},
      {"less of Bool", Less{}, {{{2}, DType::Bool}, {{2}, DType::Bool}}, "o: less takes F32 or I64 inputs, not Bool"},
      {"and of F32", And{}, {{{2}, DType::F32}, {{2}, DType::F32}}, "o: and takes Bool inputs, not F32"},
      {"where of an F32 condition", Where{}, {{{2}, DType::F32}, {{2}, DType::F32}, {{2}, DType::F32}},
       "o: where takes a Bool condition, not F32"},
      {"where of two value types", Where{}, {{{2}, DType::Bool}, {{2}, DType::I64}, {{2}, DType::F32}},
       "o: where takes values of one element type, not I64 and F32"},
      {"mean of I64", Mean{}, {{{2}, DType::I64}}, "o: mean takes F32 inputs, not I64"},
      {"pow of an I64 base", Pow{}, {{{2}, DType::I64}, {{2}, DType::I64}}, "o: pow takes an F32 base, not I64"},
      {"relu of I64", Relu{}, {{{2}, DType::I64}}, "o: relu takes F32 inputs, not I64"},
      {"prelu slope larger than x", PRelu{}, {{{2}, DType::F32}, {{2, 2}, DType::F32}},
       "o: the slope [2, 2] does not broadcast to [2]"},
      {"max of shapes that do not broadcast", Max{}, {{{2}, DType::F32}, {{2}, DType::F32}, {{3}, DType::F32}},
       "o: shapes [2] and [3] do not broadcast"},
      {"max of no input", Max{}, {}, "o: max takes at least 1 inputs, not 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    std::vector<TensorId> inputs;
    for (const auto& [shape, dtype] : c.inputs) {
      inputs.push_back(graph.input(fmt::format("in{}", inputs.size()), shape, dtype));
    }
    const Graph before = graph;
    const Result<TensorId> output = graph.apply("o", c.kind, inputs);
    ASSERT_FALSE(output);
    EXPECT_EQ(output.error(), CompileError::graph(c.error));
    EXPECT_EQ(graph, before);
  }

  Graph graph;
  const TensorId a = graph.input("a", {2}, DType::I64);
  const TensorId b = graph.input("b", {1}, DType::I64);
  graph.mark_output(*graph.apply("rem", Mod{1}, {a, b}));
  const Result<TensorValues> outputs =
      evaluate(graph, {{a, std::vector<std::int64_t>{7, 8}}, {b, std::vector<std::int64_t>{0}}});
  ASSERT_FALSE(outputs);
  EXPECT_EQ(outputs.error(), CompileError::graph("evaluate: rem: integer division by zero"));
}

TEST(Evaluate, BroadcastFollowsNumpyRules) {
  const BroadcastCase cases[] = {
      {{3}, {1, 2, 3}, {2, 3}, {1, 2, 3, 1, 2, 3}},
      {{2, 1}, {1, 2}, {2, 3}, {1, 1, 1, 2, 2, 2}},
      {{1}, {7}, {2, 2}, {7, 7, 7, 7}},
      {{2, 1, 2}, {1, 2, 3, 4}, {2, 2, 2}, {1, 2, 1, 2, 3, 4, 3, 4}},
      {{1, 2}, {5, 6}, {2, 2, 2}, {5, 6, 5, 6, 5, 6, 5, 6}},
      {{2, 3}, {1, 2, 3, 4, 5, 6}, {2, 3}, {1, 2, 3, 4, 5, 6}},
  };
  for (const BroadcastCase& c : cases) {
    SCOPED_TRACE(fmt::format("{} to {}", fmt::join(c.from, ","), fmt::join(c.to, ",")));
    Graph graph;
    const TensorId source = graph.input("source", c.from);
    const Result<TensorId> output = graph.broadcast("o", source, c.to);
    ASSERT_TRUE(output.has_value()) << output.error();
    graph.mark_output(*output);
    EXPECT_EQ(bits(first_output(graph, {{source, c.values}})), bits(c.expected));
  }
}

// Softmax of one list as the kernel defines it: maximum, exponentials of the
// differences summed as element + total in order, then each divided by the total.
std::vector<float> softmax_of(const std::vector<float>& list) {
  float maximum = -infinity;
  for (const float value : list) {
    maximum = value > maximum ? value : maximum;
  }
  std::vector<float> exponentials;
  float total = 0.0F;
  for (const float value : list) {
    exponentials.push_back(detail::exp_f32(value - maximum));
    total = exponentials.back() + total;
  }
  for (float& value : exponentials) {
    value = value / total;
  }
  return exponentials;
}

TEST(Evaluate, SoftmaxOverLeadingAxes) {
  // [3, 2, 2]: x[i][j][k] at 4i + 2j + k.
  const std::vector<float> x = {0.5F, -1, 2, 3, 1.25F, 7, -2, 3, -0.75F, 4, 2, 0};
  Graph graph;
  const TensorId input = graph.input("x", {3, 2, 2});
  const Result<TensorId> over_first = graph.softmax("over_first", input, 0);
  ASSERT_TRUE(over_first.has_value()) << over_first.error();
  const Result<TensorId> over_middle = graph.softmax("over_middle", input, 1);
  ASSERT_TRUE(over_middle.has_value()) << over_middle.error();
  graph.mark_output(*over_first);
  graph.mark_output(*over_middle);
  const Result<TensorValues> outputs = evaluate(graph, {{input, x}});
  ASSERT_TRUE(outputs.has_value()) << outputs.error();

  std::vector<float> first(12);
  std::vector<float> middle(12);
  for (std::size_t j = 0; j < 2; ++j) {
    for (std::size_t k = 0; k < 2; ++k) {
      const std::size_t at = 2 * j + k;
      const std::vector<float> column = softmax_of({x[at], x[4 + at], x[8 + at]});
      for (std::size_t i = 0; i < 3; ++i) {
        first[4 * i + at] = column[i];
      }
    }
  }
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t k = 0; k < 2; ++k) {
      const std::vector<float> pair = softmax_of({x[4 * i + k], x[4 * i + 2 + k]});
      middle[4 * i + k] = pair[0];
      middle[4 * i + 2 + k] = pair[1];
    }
  }
  EXPECT_EQ(bits(floats(outputs->at(*over_first))), bits(first));
  EXPECT_EQ(bits(floats(outputs->at(*over_middle))), bits(middle));
  // Spot check: x[0][1][1] = 3, x[1][1][1] = 3, x[2][1][1] = 0 share their
  // total exp(0) + exp(0) + exp(-3) as the first two take equal parts.
  EXPECT_EQ(floats(outputs->at(*over_first))[3], floats(outputs->at(*over_first))[7]);
}

// Values 0, 1, ..., count - 1 mapped to a spread of signs and binades.
std::vector<float> spread(std::size_t count) {
  std::vector<float> values;
  for (std::size_t i = 0; i < count; ++i) {
    values.push_back(static_cast<float>(static_cast<int>((i * 37) % 23) - 11) / 3.0F);
  }
  return values;
}

// A [1] source holding `value`, broadcast to `shape`.
TensorId constant(Graph& graph, TensorValues& values, const char* name, float value, const Shape& shape) {
  const TensorId source = graph.weight(name, {1});
  values[source] = {value};
  return *graph.broadcast(fmt::format("{}_wide", name), source, shape);
}

TEST(Evaluate, LayerNormFromElementaryOpsMatchesLayerNorm) {
  const Shape shape{3, 5};
  const Shape column{3, 1};
  Graph graph;
  TensorValues values;
  const TensorId x = graph.input("x", shape);
  values[x] = spread(15);
  const TensorId mean = *graph.reduce_mean("mean", x);
  const TensorId difference = *graph.sub("difference", x, *graph.broadcast("mean_wide", mean, shape));
  const TensorId variance = *graph.reduce_mean("variance", *graph.mul("square", difference, difference));
  const TensorId padded = *graph.add("padded", variance, constant(graph, values, "epsilon", 1e-5F, column));
  const TensorId scale = *graph.div("scale", constant(graph, values, "one", 1.0F, column),
                                    *graph.sqrt("deviation", padded));
  const TensorId composed = *graph.mul("composed", difference, *graph.broadcast("scale_wide", scale, shape));
  const TensorId fused = *graph.layer_norm("fused", x, 1e-5F);
  graph.mark_output(composed);
  graph.mark_output(fused);
  const Result<TensorValues> outputs = evaluate(graph, values);
  ASSERT_TRUE(outputs.has_value()) << outputs.error();
  EXPECT_EQ(bits(floats(outputs->at(composed))), bits(floats(outputs->at(fused))));
  EXPECT_EQ(bits(floats(outputs->at(fused))), bits(layer_norm(floats(values[x]), 3, 5, 1e-5F)));
}

// A graph of one [24] input x holding a spread of values and both saturating
// ends, -10 and 10, for the GELU decompositions.
struct GeluCase {
  Graph graph;
  TensorValues values;
  TensorId x;
};

GeluCase gelu_case() {
  GeluCase c;
  c.x = c.graph.input("x", {24});
  c.values[c.x] = spread(24);
  std::get<0>(c.values[c.x])[0] = 10.0F;
  std::get<0>(c.values[c.x])[1] = -10.0F;
  return c;
}

std::vector<float> applied(const std::vector<float>& values, float (*function)(float)) {
  std::vector<float> results;
  for (const float value : values) {
    results.push_back(function(value));
  }
  return results;
}

TEST(Evaluate, GeluFromElementaryOpsMatchesGelu) {
  GeluCase c = gelu_case();
  Graph& graph = c.graph;
  const TensorId x = c.x;
  const Shape shape{24};
  const TensorId half = *graph.mul("half", x, constant(graph, c.values, "one_half", 0.5F, shape));
  const TensorId cube = *graph.mul("cube", x, *graph.mul("square", x, x));
  const TensorId scaled_cube = *graph.mul("scaled_cube", constant(graph, c.values, "c", 0.044715F, shape), cube);
  const TensorId inner = *graph.add("inner", x, scaled_cube);
  const TensorId argument = *graph.mul("argument", constant(graph, c.values, "k", 0.7978846F, shape), inner);
  const TensorId shifted =
      *graph.add("shifted", constant(graph, c.values, "one", 1.0F, shape), *graph.tanh("t", argument));
  const TensorId composed = *graph.mul("composed", half, shifted);
  const TensorId fused = *graph.gelu("fused", x);
  graph.mark_output(composed);
  graph.mark_output(fused);
  const Result<TensorValues> outputs = evaluate(graph, c.values);
  ASSERT_TRUE(outputs.has_value()) << outputs.error();
  EXPECT_EQ(bits(floats(outputs->at(composed))), bits(floats(outputs->at(fused))));
  EXPECT_EQ(bits(floats(outputs->at(fused))), bits(applied(floats(c.values[x]), gelu)));
}

TEST(Evaluate, ErfGeluFromElementaryOpsMatchesItsKernel) {
  // 0.5 x (1 + erf(x / sqrt 2)), each step in the kernel's order.
  GeluCase c = gelu_case();
  Graph& graph = c.graph;
  const Shape shape{24};
  const TensorId scaled =
      *graph.mul("scaled", c.x, constant(graph, c.values, "inverse_root", 0.70710677F, shape));
  const TensorId shifted =
      *graph.add("shifted", constant(graph, c.values, "one", 1.0F, shape), *graph.erf("e", scaled));
  const TensorId half = *graph.mul("half", constant(graph, c.values, "one_half", 0.5F, shape), c.x);
  graph.mark_output(*graph.mul("composed", half, shifted));
  EXPECT_EQ(bits(first_output(graph, c.values)), bits(applied(floats(c.values[c.x]), detail::gelu_erf_f32)));
}

// The S x H input of the encoder tests: element i is (i mod 19 - 9) / 8.
std::vector<float> encoder_input(const EncoderConfig& config) {
  std::vector<float> input;
  for (std::uint64_t i = 0; i < config.sequence * config.hidden; ++i) {
    input.push_back(static_cast<float>(static_cast<int>(i % 19) - 9) / 8.0F);
  }
  return input;
}

TEST(Evaluate, MultiHeadEncoderGraphEqualsEncoderReference) {
  const EncoderConfig configs[] = {EncoderConfig{}, {4, 8, 2, 16}, {16, 48, 3, 96}, {8, 16, 1, 32}, {5, 12, 12, 7}};
  for (const EncoderConfig& config : configs) {
    SCOPED_TRACE(fmt::format("{} {} {} {}", config.sequence, config.hidden, config.heads, config.feed_forward));
    const EncoderWeights weights = EncoderWeights::deterministic(config);
    const std::vector<float> input = encoder_input(config);
    const Result<std::vector<float>> reference = encoder_reference(config, input, weights);
    ASSERT_TRUE(reference.has_value()) << reference.error();
    const Result<Graph> graph = multi_head_encoder_graph(config, 1);
    ASSERT_TRUE(graph.has_value()) << graph.error();
    EXPECT_EQ(bits(first_output(*graph, encoder_values(*graph, config, 1, input, weights))), bits(*reference));
  }
}

TEST(Evaluate, TwoMultiHeadLayersEqualTheReferenceAppliedTwice) {
  const EncoderConfig config;
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> input = encoder_input(config);
  const Result<std::vector<float>> once = encoder_reference(config, input, weights);
  ASSERT_TRUE(once.has_value()) << once.error();
  const Result<std::vector<float>> twice = encoder_reference(config, *once, weights);
  ASSERT_TRUE(twice.has_value()) << twice.error();
  const Result<Graph> graph = multi_head_encoder_graph(config, 2);
  ASSERT_TRUE(graph.has_value()) << graph.error();
  EXPECT_EQ(bits(first_output(*graph, encoder_values(*graph, config, 2, input, weights))), bits(*twice));
}

// The encoder graph's layer from the public kernels: attention over the full
// width as one head, scores not scaled.
std::vector<float> full_width_layer(const EncoderConfig& config, const std::vector<float>& input,
                                    const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const std::vector<float> norm1 = layer_norm(input, s, h, 1e-5F);
  const std::vector<float> q = matmul(norm1, weights.wq, s, h, h);
  const std::vector<float> k = matmul(norm1, weights.wk, s, h, h);
  const std::vector<float> v = matmul(norm1, weights.wv, s, h, h);
  std::vector<float> k_transpose(h * s);
  for (std::uint64_t row = 0; row < s; ++row) {
    for (std::uint64_t column = 0; column < h; ++column) {
      k_transpose[column * s + row] = k[row * h + column];
    }
  }
  std::vector<float> scores = matmul(q, k_transpose, s, h, s);
  softmax_rows(scores, s, s);
  const std::vector<float> projected = matmul(matmul(scores, v, s, s, h), weights.wo, s, h, h);
  std::vector<float> residual(s * h);
  for (std::size_t i = 0; i < residual.size(); ++i) {
    residual[i] = input[i] + projected[i];
  }
  std::vector<float> up = matmul(layer_norm(residual, s, h, 1e-5F), weights.w1, s, h, f);
  for (float& value : up) {
    value = gelu(value);
  }
  const std::vector<float> down = matmul(up, weights.w2, s, f, h);
  for (std::size_t i = 0; i < residual.size(); ++i) {
    residual[i] = residual[i] + down[i];
  }
  return residual;
}

TEST(Evaluate, EncoderGraphEqualsItsLayerFromTheKernels) {
  // The encoder graph's attention is one full-width head without scaling, so
  // it is compared with that layer, not with the multi-head reference.
  const EncoderConfig configs[] = {EncoderConfig{}, {4, 8, 2, 16}, {16, 48, 3, 96}};
  for (const EncoderConfig& config : configs) {
    SCOPED_TRACE(fmt::format("{} {} {} {}", config.sequence, config.hidden, config.heads, config.feed_forward));
    const EncoderWeights weights = EncoderWeights::deterministic(config);
    const std::vector<float> input = encoder_input(config);
    const Result<Graph> graph = encoder_graph(config);
    ASSERT_TRUE(graph.has_value()) << graph.error();
    EXPECT_EQ(bits(first_output(*graph, encoder_values(*graph, config, 1, input, weights))),
              bits(full_width_layer(config, input, weights)));
  }
}

TEST(Evaluate, EncoderStackEqualsItsLayerAppliedTwice) {
  const EncoderConfig config{8, 16, 2, 32};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> input = encoder_input(config);
  const Result<Graph> layer = encoder_graph(config);
  ASSERT_TRUE(layer.has_value()) << layer.error();
  const std::vector<float> once = first_output(*layer, encoder_values(*layer, config, 1, input, weights));
  const std::vector<float> twice = first_output(*layer, encoder_values(*layer, config, 1, once, weights));
  const Result<Graph> stack = encoder_stack_graph(config, 2);
  ASSERT_TRUE(stack.has_value()) << stack.error();
  EXPECT_EQ(bits(first_output(*stack, encoder_values(*stack, config, 2, input, weights))), bits(twice));
  EXPECT_EQ(bits(twice), bits(full_width_layer(config, full_width_layer(config, input, weights), weights)));
}

TEST(Evaluate, OutputsAreExactlyTheGraphOutputsEachOnce) {
  // t is an output that later operations read, d is read twice by one
  // operation that it does not outlive, and the source x is an output too.
  Graph graph;
  const TensorId x = graph.input("x", {3});
  const TensorId t = *graph.tanh("t", x);
  const TensorId d = *graph.sub("d", t, x);
  const TensorId square = *graph.mul("square", d, d);
  const TensorId root = *graph.sqrt("root", t);
  graph.mark_output(t);
  graph.mark_output(square);
  graph.mark_output(t);
  graph.mark_output(x);
  const std::vector<float> given = {0, 0.5F, -2};
  const Result<TensorValues> outputs = evaluate(graph, {{x, given}});
  ASSERT_TRUE(outputs.has_value()) << outputs.error();
  ASSERT_EQ(outputs->size(), 3U);
  EXPECT_FALSE(outputs->contains(root));
  EXPECT_FALSE(outputs->contains(d));
  const std::vector<float> tanh_x = {0, from_bits(0x3EEC9A9F), from_bits(0xBF76CA83)};
  EXPECT_EQ(bits(floats(outputs->at(t))), bits(tanh_x));
  EXPECT_EQ(bits(floats(outputs->at(x))), bits(given));
  std::vector<float> squares;
  for (std::size_t i = 0; i < 3; ++i) {
    const float difference = tanh_x[i] - given[i];
    squares.push_back(difference * difference);
  }
  EXPECT_EQ(bits(floats(outputs->at(square))), bits(squares));
}

// A graph whose single operation `o` (Tanh unless changed) reads x ([2]) and
// writes y ([2]); w ([2]) is a weight nobody reads. Cases edit it by hand.
struct Fixture {
  Graph graph;
  TensorId x;
  TensorId w;
  TensorId y;
};

Fixture small_graph() {
  Fixture f;
  f.x = f.graph.input("x", {2});
  f.w = f.graph.weight("w", {2});
  f.y = *f.graph.tanh("o", f.x);
  f.graph.mark_output(f.y);
  return f;
}

struct ErrorCase {
  const char* name;
  std::function<void(Fixture&, TensorValues&)> edit;
  std::string error;
};

TEST(Evaluate, RejectsWithExactMessages) {
  const ErrorCase cases[] = {
      {"no outputs", [](Fixture& f, TensorValues&) { f.graph.outputs.clear(); }, "graph has no outputs"},
      {"input out of range", [](Fixture& f, TensorValues&) { f.graph.ops[0].inputs[0] = TensorId{7}; },
       "invalid op o"},
      {"reads its own output", [](Fixture& f, TensorValues&) { f.graph.ops[0].inputs[0] = f.y; }, "invalid op o"},
      {"reads a later output",
       [](Fixture& f, TensorValues&) {
         const TensorId later = *f.graph.sqrt("later", f.x);
         f.graph.ops[0].inputs[0] = later;
       },
       "invalid op o"},
      {"too many inputs", [](Fixture& f, TensorValues&) { f.graph.ops[0].inputs.push_back(f.x); }, "invalid op o"},
      {"too few inputs", [](Fixture& f, TensorValues&) { f.graph.ops[0].kind = Add{}; }, "invalid op o"},
      {"input shapes break the rule",
       [](Fixture& f, TensorValues& v) {
         f.graph.ops[0].kind = Add{};
         f.graph.ops[0].inputs.push_back(f.graph.input("z", {3}));
         v[f.graph.ops[0].inputs.back()] = {1, 2, 3};
       },
       "o: shapes [2] and [3] do not broadcast"},
      {"output shape differs from the rule",
       [](Fixture& f, TensorValues&) { f.graph.tensors[f.y.index].shape = {1, 2}; }, "invalid op o"},
      {"parameter differs from the output", [](Fixture& f, TensorValues&) { f.graph.ops[0].kind = Reshape{{1, 2}}; },
       "invalid op o"},
      {"missing input", [](Fixture& f, TensorValues& v) { v.erase(f.x); }, "evaluate: no value for input x"},
      {"missing weight", [](Fixture& f, TensorValues& v) { v.erase(f.w); }, "evaluate: no value for input w"},
      {"short value", [](Fixture& f, TensorValues& v) { v[f.x] = {1}; },
       "evaluate: value for x has 1 elements, expected 2"},
      {"long value", [](Fixture& f, TensorValues& v) { v[f.w] = {1, 2, 3}; },
       "evaluate: value for w has 3 elements, expected 2"},
      {"value for an operation's output", [](Fixture& f, TensorValues& v) { v[f.y] = {1, 2}; },
       "evaluate: o is not an input or weight"},
      {"value for an unknown id", [](Fixture&, TensorValues& v) { v[TensorId{9}] = {1}; },
       "evaluate: TensorId(9) is not an input or weight"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f = small_graph();
    TensorValues values{{f.x, {1, 2}}, {f.w, {3, 4}}};
    ASSERT_TRUE(evaluate(f.graph, values).has_value());
    c.edit(f, values);
    const Result<TensorValues> outputs = evaluate(f.graph, values);
    ASSERT_FALSE(outputs.has_value());
    EXPECT_EQ(outputs.error(), CompileError::graph(c.error));
  }
}

}  // namespace
}  // namespace orvo_compiler
