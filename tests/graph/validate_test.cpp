// Graph validation: the three passes in order, the first fault reported, and
// the graphs it deliberately lets through.
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

// x [2, 3] -> gelu y, marked as output.
Graph small_graph() {
  Graph graph;
  const TensorId x = graph.input("x", {2, 3});
  const auto y = graph.gelu("y", x);
  graph.mark_output(*y);
  return graph;
}

TEST(Validate, AcceptsABuiltGraph) { EXPECT_TRUE(small_graph().validate()); }

TEST(Validate, EmptyGraphHasNoOutputs) {
  EXPECT_EQ(Graph{}.validate().error(), CompileError::graph("graph has no outputs"));
}

TEST(Validate, ReportsTheFirstFault) {
  struct ValidateCase {
    const char* what;
    void (*damage)(Graph&);
    std::string message;
  };
  const ValidateCase cases[] = {
      {"empty shape", [](Graph& g) { g.tensors[0].shape = {}; }, "invalid tensor x"},
      {"zero dimension", [](Graph& g) { g.tensors[1].shape = {2, 0}; }, "invalid tensor y"},
      {"id not its position", [](Graph& g) { g.tensors[1].id = TensorId{0}; }, "invalid tensor y"},
      {"elements overflow", [](Graph& g) { g.tensors[0].shape = {1ULL << 32, 1ULL << 32}; }, "invalid tensor x"},
      {"bytes overflow", [](Graph& g) { g.tensors[0].shape = {max_u64 / 4 + 1}; }, "invalid tensor x"},
      {"two faulty tensors", [](Graph& g) { g.tensors[0].shape = {}; g.tensors[1].shape = {}; }, "invalid tensor x"},
      {"tensor before op",
       [](Graph& g) {
         g.tensors[1].shape = {};
         g.ops[0].id = OpId{4};
       },
       "invalid tensor y"},
      {"tensor before outputs", [](Graph& g) { g.tensors[0].shape = {}; g.outputs.clear(); }, "invalid tensor x"},
      {"op id not its position", [](Graph& g) { g.ops[0].id = OpId{1}; }, "invalid op y"},
      {"op input out of range", [](Graph& g) { g.ops[0].inputs.push_back(TensorId{2}); }, "invalid op y"},
      {"op output out of range", [](Graph& g) { g.ops[0].output = TensorId{7}; }, "invalid op y"},
      {"output has no producer", [](Graph& g) { g.tensors[1].producer.reset(); }, "invalid op y"},
      {"output names another producer", [](Graph& g) { g.tensors[1].producer = OpId{3}; }, "invalid op y"},
      {"no outputs", [](Graph& g) { g.outputs.clear(); }, "graph has no outputs"},
      {"output names no tensor", [](Graph& g) { g.outputs.push_back(TensorId{2}); }, "invalid output 2"},
  };
  for (const ValidateCase& c : cases) {
    SCOPED_TRACE(c.what);
    Graph graph = small_graph();
    c.damage(graph);
    const Graph before = graph;
    EXPECT_EQ(graph.validate().error(), CompileError::graph(c.message));
    EXPECT_EQ(graph, before);
  }
}

TEST(Validate, LargestShapeThatFitsIsAccepted) {
  Graph graph;
  graph.mark_output(graph.input("x", {max_u64 / 4}));
  EXPECT_TRUE(graph.validate());
}

TEST(Validate, LetsThroughWhatItDoesNotCheck) {
  struct ValidateCase {
    const char* what;
    void (*change)(Graph&);
  };
  const ValidateCase cases[] = {
      {"repeated output", [](Graph& g) { g.mark_output(TensorId{1}); }},
      {"empty and repeated names", [](Graph& g) { g.tensors[0].name = ""; g.tensors[1].name = ""; }},
      {"op reads a later tensor", [](Graph& g) { g.ops[0].inputs = {TensorId{1}}; }},
      {"op with no inputs", [](Graph& g) { g.ops[0].inputs.clear(); }},
      {"input claims a producer", [](Graph& g) { g.tensors[0].producer = OpId{0}; }},
      {"kind payload not checked", [](Graph& g) { g.ops[0].kind = Softmax{9}; }},
      {"output of input kind", [](Graph& g) { g.outputs = {TensorId{0}}; }},
  };
  for (const ValidateCase& c : cases) {
    SCOPED_TRACE(c.what);
    Graph graph = small_graph();
    c.change(graph);
    EXPECT_TRUE(graph.validate());
  }
}

}  // namespace
}  // namespace orvo_compiler
