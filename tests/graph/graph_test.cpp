// The graph builder: id numbering, shape rules, error texts, and the promise
// that a failed call leaves the graph exactly as it was.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include <gtest/gtest.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler {
namespace {

std::string rendered(const auto& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

TEST(Tensor, ElementsIsTheProductOfTheDimensions) {
  struct Case {
    Shape shape;
    std::uint64_t elements;
  };
  const Case cases[] = {{{2, 3}, 6}, {{5}, 5}, {{}, 1}, {{4, 0, 3}, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.shape));
    EXPECT_EQ((Tensor{.shape = c.shape}.elements()), c.elements);
  }
  EXPECT_EQ(size(DType::F32), 4U);
}

TEST(Ids, CompareByIndexHashAndRender) {
  EXPECT_EQ(TensorId{3}, TensorId{3});
  EXPECT_NE(TensorId{3}, TensorId{4});
  EXPECT_LT(TensorId{3}, TensorId{4});
  EXPECT_EQ(OpId{3}, OpId{3});
  EXPECT_NE(OpId{3}, OpId{4});
  EXPECT_EQ(rendered(TensorId{0}), "TensorId(0)");
  EXPECT_EQ(rendered(OpId{0}), "OpId(0)");
  EXPECT_EQ(fmt::format("{} {}", TensorId{7}, OpId{3}), "TensorId(7) OpId(3)");
  const std::unordered_set<TensorId> ids{TensorId{1}, TensorId{1}, TensorId{2}};
  EXPECT_EQ(ids.size(), 2U);
  EXPECT_NE(std::optional<OpId>{}, std::optional<OpId>{OpId{0}});
}

TEST(Graph, DefaultIsEmpty) {
  const Graph graph;
  EXPECT_TRUE(graph.tensors.empty());
  EXPECT_TRUE(graph.ops.empty());
  EXPECT_TRUE(graph.outputs.empty());
}

TEST(Graph, NumbersTensorsAndOpsSeparatelyInAppendOrder) {
  Graph graph;
  const TensorId x = graph.input("x", {4, 8});
  const TensorId w = graph.weight("w", {8, 16});
  const TensorId b = graph.input("b", {4, 16});
  const auto y = graph.matmul("y", x, w);
  ASSERT_TRUE(y);
  EXPECT_EQ(*y, TensorId{3});
  ASSERT_EQ(graph.ops.size(), 1U);
  const Op& op = graph.ops[0];
  EXPECT_EQ(op.id, OpId{0});
  EXPECT_EQ(op.name, "y");
  EXPECT_EQ(op.inputs, (std::vector<TensorId>{x, w}));
  EXPECT_EQ(op.output, TensorId{3});
  const Tensor& out = graph.tensors[3];
  EXPECT_EQ(out.name, "y");
  EXPECT_EQ(out.kind, TensorKind::Intermediate);
  EXPECT_EQ(out.producer, OpId{0});
  EXPECT_EQ(out.shape, (Shape{4, 16}));
  EXPECT_EQ(graph.tensors[x.index].kind, TensorKind::Input);
  EXPECT_EQ(graph.tensors[w.index].kind, TensorKind::Weight);
  EXPECT_EQ(graph.tensors[b.index].producer, std::nullopt);

  const auto z = graph.add("z", *y, b);
  ASSERT_TRUE(z);
  EXPECT_EQ(*z, TensorId{4});
  EXPECT_EQ(graph.ops[1].id, OpId{1});
}

TEST(Graph, ShapeRules) {
  struct Case {
    const char* name;
    Shape a;
    Shape b;
    Shape expected;  // empty when the call must fail
    std::string error;
  };
  // Binary operations and matrix products, each on two fresh inputs.
  const Case binary_cases[] = {
      {"add same shape", {2, 3}, {2, 3}, {2, 3}, ""},
      {"add transposed shapes", {2, 3}, {3, 2}, {}, "s: binary shapes differ"},
      {"add different rank", {6}, {2, 3}, {}, "s: binary shapes differ"},
      {"matmul", {4, 8}, {8, 16}, {4, 16}, ""},
      {"matmul inner mismatch", {4, 8}, {4, 8}, {}, "s: incompatible matmul [4, 8] x [4, 8]"},
      {"matmul rank 3", {2, 4, 8}, {8, 16}, {}, "s: incompatible matmul [2, 4, 8] x [8, 16]"},
      {"matmul rank 1", {8}, {8, 16}, {}, "s: incompatible matmul [8] x [8, 16]"},
      {"matmul empty shape", {}, {8, 16}, {}, "s: incompatible matmul [] x [8, 16]"},
  };
  for (const Case& c : binary_cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    const TensorId a = graph.input("a", c.a);
    const TensorId b = graph.input("b", c.b);
    const bool is_matmul = std::string_view(c.name).starts_with("matmul");
    const auto result = is_matmul ? graph.matmul("s", a, b) : graph.add("s", a, b);
    if (c.error.empty()) {
      ASSERT_TRUE(result);
      EXPECT_EQ(graph.tensors[result->index].shape, c.expected);
    } else {
      EXPECT_EQ(result.error(), CompileError::graph(c.error));
      EXPECT_EQ(graph.tensors.size(), 2U);
    }
  }
}

TEST(Graph, TransposeAcceptsExactlyTheOrderingsOfTheAxes) {
  struct Case {
    std::vector<std::uint64_t> permutation;
    Shape expected;  // empty when the call must fail
  };
  const Case cases[] = {
      {{2, 0, 1}, {4, 2, 3}}, {{0, 1, 2}, {2, 3, 4}}, {{1, 0}, {}},
      {{0, 0, 1}, {}},        {{0, 1, 3}, {}},        {{}, {}},
      {{0, 1, 2, 3}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.permutation));
    Graph graph;
    const TensorId x = graph.input("x", {2, 3, 4});
    const auto result = graph.transpose("t", x, c.permutation);
    if (c.expected.empty()) {
      EXPECT_EQ(result.error(), CompileError::graph("t: invalid transpose permutation"));
      EXPECT_TRUE(graph.ops.empty());
      continue;
    }
    ASSERT_TRUE(result);
    EXPECT_EQ(graph.tensors[result->index].shape, c.expected);
    EXPECT_EQ(graph.ops[0].kind, OpKind{Transpose{c.permutation}});
  }
}

TEST(Graph, SoftmaxAxisMustBeBelowTheRank) {
  Graph graph;
  const TensorId x = graph.input("x", {3, 5});
  EXPECT_TRUE(graph.softmax("s0", x, 0));
  EXPECT_TRUE(graph.softmax("s1", x, 1));
  EXPECT_EQ(graph.softmax("s2", x, 2).error(), CompileError::graph("s2: softmax axis out of range"));
  EXPECT_EQ(graph.ops.back().kind, OpKind{Softmax{1}});
  EXPECT_EQ(graph.tensors.back().shape, (Shape{3, 5}));
}

TEST(Graph, ElementwiseUnaryOpsKeepTheShapeAndRecordTheirParameters) {
  Graph graph;
  const TensorId x = graph.input("x", {3, 5});
  const auto norm = graph.layer_norm("norm", x, -1.0F);
  const auto act = graph.gelu("act", *norm);
  ASSERT_TRUE(norm && act);
  EXPECT_EQ(graph.tensors[act->index].shape, (Shape{3, 5}));
  EXPECT_EQ(graph.ops[0].kind, OpKind{LayerNorm{-1.0F}});
  EXPECT_EQ(graph.ops[1].kind, OpKind{Gelu{}});
}

TEST(Graph, AddOfATensorWithItselfRecordsItTwice) {
  Graph graph;
  const TensorId x = graph.input("x", {2});
  ASSERT_TRUE(graph.add("twice", x, x));
  EXPECT_EQ(graph.ops[0].inputs, (std::vector<TensorId>{x, x}));
}

TEST(Graph, OpAcceptsAnyShapeAndKindWithoutABuilder) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 2});
  const TensorId b = graph.input("b", {2, 2});
  ASSERT_TRUE(graph.op("m", Mul{}, {a, b}, {4}));
  ASSERT_TRUE(graph.op("r", Reshape{{8}}, {a}, {8}));
  ASSERT_TRUE(graph.op("none", Gelu{}, {}, {1}));
  EXPECT_EQ(graph.tensors[2].shape, (Shape{4}));
  EXPECT_EQ(graph.ops[1].kind, OpKind{Reshape{{8}}});
  EXPECT_TRUE(graph.ops[2].inputs.empty());
}

TEST(Graph, UnknownInputsFailEveryBuilderCallAndChangeNothing) {
  Graph graph;
  const TensorId x = graph.input("x", {2, 2});
  const TensorId missing{5};
  const Graph before = graph;
  const CompileError expected = CompileError::graph("bad: unknown input");
  EXPECT_EQ(graph.op("bad", Add{}, {x, missing}, {2, 2}).error(), expected);
  EXPECT_EQ(graph.binary("bad", Mul{}, missing, x).error(), expected);
  EXPECT_EQ(graph.add("bad", x, missing).error(), expected);
  EXPECT_EQ(graph.matmul("bad", missing, x).error(), expected);
  EXPECT_EQ(graph.transpose("bad", missing, {1, 0}).error(), expected);
  EXPECT_EQ(graph.softmax("bad", missing, 0).error(), expected);
  EXPECT_EQ(graph.layer_norm("bad", missing, 1e-5F).error(), expected);
  EXPECT_EQ(graph.gelu("bad", missing).error(), expected);
  EXPECT_EQ(graph, before);
}

TEST(Graph, FailedCallDoesNotShiftLaterIds) {
  Graph graph;
  const TensorId a = graph.input("a", {2, 3});
  const TensorId b = graph.input("b", {3, 2});
  const TensorId c = graph.input("c", {2, 3});
  EXPECT_FALSE(graph.add("bad", a, b));
  EXPECT_FALSE(graph.matmul("bad", a, c));
  const auto sum = graph.add("sum", a, c);
  ASSERT_TRUE(sum);
  EXPECT_EQ(*sum, TensorId{3});
  EXPECT_EQ(graph.ops.size(), 1U);
  EXPECT_EQ(graph.ops[0].id, OpId{0});
}

TEST(Graph, MarkOutput) {
  Graph graph;
  const TensorId x = graph.input("x", {2});
  graph.mark_output(x);
  graph.mark_output(x);
  EXPECT_EQ(graph.tensors[0].kind, TensorKind::Output);
  EXPECT_EQ(graph.tensors[0].producer, std::nullopt);
  EXPECT_EQ(graph.outputs, (std::vector<TensorId>{x, x}));

  const Graph before = graph;
  graph.mark_output(TensorId{9});
  EXPECT_EQ(graph.tensors, before.tensors);
  EXPECT_EQ(graph.outputs.back(), TensorId{9});
}

TEST(Graph, AcceptsEmptyAndZeroShapesForValidationToReject) {
  Graph graph;
  graph.input("empty", {});
  graph.input("zero", {3, 0});
  EXPECT_EQ(graph.tensors.size(), 2U);
  EXPECT_TRUE(graph.tensors[0].shape.empty());
}

TEST(OpKind, RendersVariantAndParameters) {
  EXPECT_EQ(rendered(OpKind{Transpose{{1, 0}}}), "Transpose { permutation: [1, 0] }");
  EXPECT_EQ(rendered(OpKind{Softmax{1}}), "Softmax { axis: 1 }");
  EXPECT_EQ(rendered(OpKind{MatMul{}}), "MatMul");
  EXPECT_EQ(rendered(TensorKind::Weight), "Weight");
}

TEST(OpKind, RendersEveryKindThroughStreamsAndFmt) {
  struct Case {
    OpKind kind;
    std::string rendering;
  };
  const Case cases[] = {
      {MatMul{}, "MatMul"},
      {Add{}, "Add"},
      {Mul{}, "Mul"},
      {Reshape{{8}}, "Reshape { shape: [8] }"},
      {Reshape{}, "Reshape { shape: [] }"},
      {Transpose{{0, 2, 1}}, "Transpose { permutation: [0, 2, 1] }"},
      {LayerNorm{1e-5F}, "LayerNorm { epsilon: 1e-05 }"},
      {LayerNorm{0.5F}, "LayerNorm { epsilon: 0.5 }"},
      {Softmax{}, "Softmax { axis: 0 }"},
      {Gelu{}, "Gelu"},
      {Sub{}, "Sub"},
      {Div{}, "Div"},
      {Broadcast{{2, 3}}, "Broadcast { shape: [2, 3] }"},
      {BatchMatMul{}, "BatchMatMul"},
      {Slice{.axis = 2, .start = 1, .end = 3}, "Slice { axis: 2, start: 1, end: 3 }"},
      {Erf{}, "Erf"},
      {Tanh{}, "Tanh"},
      {Sqrt{}, "Sqrt"},
      {ReduceMean{}, "ReduceMean"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rendering);
    EXPECT_EQ(rendered(c.kind), c.rendering);
    EXPECT_EQ(fmt::format("{}", c.kind), c.rendering);
  }
}

// The descriptions every kind carries name it unambiguously wherever it
// appears: operation names (schedules, JSON) and type names (renderings,
// Python classes) are each distinct, and no field name collides with another
// of its kind or with a key the JSON form of an operation already has.
TEST(OpKind, DescriptionsAreDistinctAndUsableAsNames) {
  // An identifier starting with a capital (types) or a small letter (the rest).
  const auto is_name = [](std::string_view text, bool capitalised) {
    const auto letter = [](char c) { return static_cast<unsigned char>(c); };
    return !text.empty() && (capitalised ? std::isupper(letter(text[0])) : std::islower(letter(text[0]))) != 0 &&
           std::ranges::all_of(text, [&](char c) { return std::isalnum(letter(c)) != 0 || c == '_'; });
  };
  std::set<std::string_view> operations;
  std::set<std::string_view> types;
  std::size_t kinds = 0;
  for_each_op_kind([&]<class Kind>(std::type_identity<Kind>) {
    SCOPED_TRACE(Kind::info.type_name);
    ++kinds;
    EXPECT_TRUE(operations.insert(Kind::info.operation).second);
    EXPECT_TRUE(types.insert(Kind::info.type_name).second);
    EXPECT_TRUE(is_name(Kind::info.operation, false));
    EXPECT_TRUE(is_name(Kind::info.type_name, true));
    EXPECT_FALSE(std::string_view(Kind::info.doc).empty());
    EXPECT_EQ(operation_name(Kind{}), Kind::info.operation);
    std::set<std::string_view> fields{"id", "name", "kind", "inputs", "output"};
    for_each_field<Kind>([&](const auto& field) {
      SCOPED_TRACE(field.name);
      EXPECT_TRUE(fields.insert(field.name).second);
      EXPECT_TRUE(is_name(field.name, false));
      EXPECT_FALSE(std::string_view(field.doc).empty());
      // The rendering names the field.
      EXPECT_NE(rendered(OpKind{Kind{}}).find(fmt::format("{}: ", field.name)), std::string::npos);
    });
  });
  EXPECT_EQ(kinds, std::variant_size_v<OpKind>);
}

// `apply` builds what each kind's own builder builds, errors included, and
// refuses a count of inputs other than the kind's.
TEST(Graph, ApplyBuildsAsTheKindsBuilder) {
  using Build = std::function<Result<TensorId>(Graph&)>;
  struct Case {
    const char* name;
    Build builder;
    Build apply;
  };
  const TensorId a{0};  // [2, 3]
  const TensorId b{1};  // [2, 3]
  const TensorId m{2};  // [3, 4]
  const Case cases[] = {
      {"matmul", [&](Graph& g) { return g.matmul("o", a, m); },
       [&](Graph& g) { return g.apply("o", MatMul{}, {a, m}); }},
      {"matmul mismatch", [&](Graph& g) { return g.matmul("o", a, b); },
       [&](Graph& g) { return g.apply("o", MatMul{}, {a, b}); }},
      {"sub", [&](Graph& g) { return g.sub("o", a, b); }, [&](Graph& g) { return g.apply("o", Sub{}, {a, b}); }},
      {"softmax", [&](Graph& g) { return g.softmax("o", a, 1); },
       [&](Graph& g) { return g.apply("o", Softmax{1}, {a}); }},
      {"softmax axis", [&](Graph& g) { return g.softmax("o", a, 2); },
       [&](Graph& g) { return g.apply("o", Softmax{2}, {a}); }},
      {"slice", [&](Graph& g) { return g.slice("o", m, 1, 1, 3); },
       [&](Graph& g) { return g.apply("o", Slice{1, 1, 3}, {m}); }},
      {"reshape", [&](Graph& g) { return g.reshape("o", a, {7}); },
       [&](Graph& g) { return g.apply("o", Reshape{{7}}, {a}); }},
      {"unknown input", [&](Graph& g) { return g.gelu("o", TensorId{9}); },
       [&](Graph& g) { return g.apply("o", Gelu{}, {TensorId{9}}); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph built;
    Graph applied;
    for (Graph* graph : {&built, &applied}) {
      graph->input("a", {2, 3});
      graph->input("b", {2, 3});
      graph->weight("m", {3, 4});
    }
    EXPECT_EQ(c.builder(built), c.apply(applied));
    EXPECT_EQ(built, applied);
  }

  // Element-wise kinds: the named builders take identical shapes only,
  // `apply` operands that broadcast; neither changes the graph on failure.
  Graph graph_of_three;
  graph_of_three.input("a", {2, 3});
  graph_of_three.input("b", {2, 3});
  graph_of_three.weight("m", {3, 4});
  const Graph unchanged = graph_of_three;
  EXPECT_EQ(graph_of_three.sub("o", a, m), std::unexpected(CompileError::graph("o: binary shapes differ")));
  EXPECT_EQ(graph_of_three.apply("o", Sub{}, {a, m}),
            std::unexpected(CompileError::graph("o: shapes [2, 3] and [3, 4] do not broadcast")));
  EXPECT_EQ(graph_of_three, unchanged);

  Graph graph;
  graph.input("a", {2, 3});
  const Graph before = graph;
  EXPECT_EQ(graph.apply("o", Add{}, {a}).error(), CompileError::graph("o: add takes 2 inputs, not 1"));
  EXPECT_EQ(graph.apply("o", Tanh{}, {a, a}).error(), CompileError::graph("o: tanh takes 1 inputs, not 2"));
  EXPECT_EQ(graph.apply("o", Tanh{}, {}).error(), CompileError::graph("o: tanh takes 1 inputs, not 0"));
  EXPECT_EQ(graph, before);
}

}  // namespace
}  // namespace orvo_compiler
