// The data movement kinds on I64 and Bool values (each keeps its element
// type; Cast converts it), and the values they refuse when evaluating: an
// index outside its axis or depth, a float that no I64 holds.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/evaluate.hpp"

namespace orvo_compiler {
namespace {

using Ints = std::vector<std::int64_t>;
using Bools = std::vector<std::uint8_t>;
using Floats = std::vector<float>;

constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

// One operation named "o" on input a (and b, when `b_shape` is not empty),
// each of its value's element type.
struct TypedCase {
  const char* name;
  Shape a_shape;
  TensorData a;
  Shape b_shape;
  TensorData b;
  OpKind kind;
  TensorData expected;  // unused when `error` is set
  std::string error = {};
};

Result<TensorValues> run(const TypedCase& c, Graph& graph) {
  TensorValues values;
  const TensorId a = graph.input("a", c.a_shape, dtype_of(c.a));
  values.emplace(a, c.a);
  std::vector<TensorId> inputs{a};
  if (!c.b_shape.empty()) {
    inputs.push_back(graph.input("b", c.b_shape, dtype_of(c.b)));
    values.emplace(inputs.back(), c.b);
  }
  const Result<TensorId> output = graph.apply("o", c.kind, inputs);
  if (!output) {
    return std::unexpected(output.error());
  }
  graph.mark_output(*output);
  return evaluate(graph, values);
}

TEST(EvaluateDataMovement, KeepsOrConvertsTheElementType) {
  const TypedCase cases[] = {
      {"gather I64 with a negative index", {2, 3}, Ints{10, 11, 12, 20, 21, 22}, {2}, Ints{-1, 0}, Gather{1},
       Ints{12, 10, 22, 20}},
      {"gather Bool rows by a matrix of indices", {3, 1}, Bools{1, 0, 1}, {2, 2}, Ints{2, 1, 0, 2}, Gather{0},
       Bools{1, 0, 1, 1}},
      {"concat Bool", {1}, Bools{1}, {2}, Bools{0, 1}, Concat{0}, Bools{1, 0, 1}},
      {"tile I64", {2}, Ints{lowest, 7}, {}, {}, Tile{{2}}, Ints{lowest, 7, lowest, 7}},
      {"pad I64 with its value input", {2}, Ints{1, 2}, {1}, Ints{-7}, Pad{{1, 0}, "constant"}, Ints{-7, 1, 2}},
      {"pad Bool edge", {2}, Bools{1, 0}, {1}, Bools{0}, Pad{{1, 1}, "edge"}, Bools{1, 1, 0, 0}},
      {"strided slice Bool", {4}, Bools{1, 0, 0, 1}, {}, {}, StridedSlice{{3}, {-2}, {2}}, Bools{1, 0}},
      {"trilu I64", {2, 2}, Ints{1, 2, 3, 4}, {}, {}, Trilu{false, 0}, Ints{1, 0, 3, 4}},
      {"one hot of I64 indices into Bool", {2}, Ints{1, -3}, {2}, Bools{0, 1}, OneHot{3, 1},
       Bools{0, 1, 0, 1, 0, 0}},
      // -2^63 is a float; truncation towards zero, -0 included.
      {"cast F32 to I64 truncates", {4}, Floats{2.9F, -2.9F, -0.0F, -9223372036854775808.0F}, {}, {},
       Cast{DType::I64}, Ints{2, -2, 0, lowest}},
      {"cast F32 to Bool", {4}, Floats{0, -0.0F, nan, 0.5F}, {}, {}, Cast{DType::Bool}, Bools{0, 0, 1, 1}},
      // 2^24 + 1 rounds to the even 2^24.
      {"cast I64 to F32 rounds to nearest", {2}, Ints{16777217, -3}, {}, {}, Cast{DType::F32},
       Floats{16777216, -3}},
      {"cast I64 to Bool", {2}, Ints{0, lowest}, {}, {}, Cast{DType::Bool}, Bools{0, 1}},
      {"cast Bool to I64", {2}, Bools{1, 0}, {}, {}, Cast{DType::I64}, Ints{1, 0}},
      {"cast Bool to F32", {2}, Bools{0, 1}, {}, {}, Cast{DType::F32}, Floats{0, 1}},
  };
  for (const TypedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const Result<TensorValues> outputs = run(c, graph);
    ASSERT_TRUE(outputs) << outputs.error();
    EXPECT_EQ(graph.tensors[graph.outputs[0].index].dtype, dtype_of(c.expected));
    EXPECT_EQ(outputs->at(graph.outputs[0]), c.expected);
  }
}

TEST(EvaluateDataMovement, RefusesValuesItCannotMove) {
  const TypedCase cases[] = {
      {"gather past the end", {3}, Floats{1, 2, 3}, {2}, Ints{0, 3}, Gather{0}, {},
       "evaluate: o: index 3 is out of range for axis 0 of size 3"},
      {"gather before the start", {2, 3}, Floats{1, 2, 3, 4, 5, 6}, {1}, Ints{-4}, Gather{1}, {},
       "evaluate: o: index -4 is out of range for axis 1 of size 3"},
      {"gather of the lowest I64", {3}, Ints{1, 2, 3}, {1}, Ints{lowest}, Gather{0}, {},
       "evaluate: o: index -9223372036854775808 is out of range for axis 0 of size 3"},
      {"one hot past the depth", {2}, Ints{0, 3}, {2}, Floats{0, 1}, OneHot{3, 1}, {},
       "evaluate: o: index 3 is out of range for depth 3"},
      {"one hot before minus the depth", {1}, Ints{-4}, {2}, Floats{0, 1}, OneHot{3, 1}, {},
       "evaluate: o: index -4 is out of range for depth 3"},
      {"one hot of NaN", {1}, Floats{nan}, {2}, Floats{0, 1}, OneHot{3, 0}, {},
       "evaluate: o: index nan is out of range for depth 3"},
      {"one hot of a float far out", {1}, Floats{1e30F}, {2}, Floats{0, 1}, OneHot{3, 0}, {},
       "evaluate: o: index 1e+30 is out of range for depth 3"},
      {"cast NaN to I64", {2}, Floats{1, nan}, {}, {}, Cast{DType::I64}, {}, "evaluate: o: cannot cast nan to I64"},
      {"cast 2^63 to I64", {1}, Floats{9223372036854775808.0F}, {}, {}, Cast{DType::I64}, {},
       "evaluate: o: cannot cast 9.223372e+18 to I64"},
      {"cast -inf to I64", {1}, Floats{-infinity}, {}, {}, Cast{DType::I64}, {},
       "evaluate: o: cannot cast -inf to I64"},
  };
  for (const TypedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const Result<TensorValues> outputs = run(c, graph);
    ASSERT_FALSE(outputs);
    EXPECT_EQ(outputs.error(), CompileError::graph(c.error));
  }
}

}  // namespace
}  // namespace orvo_compiler
