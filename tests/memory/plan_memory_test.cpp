// The tile SRAM planner on hand-built graphs, layouts and phase lists:
// lifetimes, placement, both memory errors and inputs that do not match.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/memory.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint32_t base = 0x52000;

Layout on_tiles(std::uint64_t tensor, std::vector<std::uint16_t> tiles, std::uint32_t alignment = 16) {
  return Layout{TensorId{tensor}, std::move(tiles), Sharding::Replicated, alignment};
}

std::vector<Layout> all_on_tile_zero(const Graph& graph) {
  std::vector<Layout> layouts;
  for (const Tensor& tensor : graph.tensors) {
    layouts.push_back(on_tiles(tensor.id.index, {0}));
  }
  return layouts;
}

Phase compute(std::uint64_t op) { return Compute{OpId{op}, {}}; }

CompilerOptions window(std::uint32_t data_base, std::uint32_t data_limit) {
  return CompilerOptions{64, data_base, data_limit};
}

// Four tensors on one tile: A (100 bytes) and B (64) read at phase 0, C (40)
// written at 0 and read at 1, D (40) written at 1 and kept as the output.
Graph four_tensor_graph() {
  Graph graph;
  const TensorId a = graph.input("A", {25});
  const TensorId b = graph.input("B", {16});
  const TensorId c = graph.op("C", Add{}, {a, b}, {10}).value();
  const TensorId d = graph.op("D", Gelu{}, {c}, {10}).value();
  graph.mark_output(d);
  return graph;
}

const std::vector<Phase> four_tensor_phases{compute(0), compute(1)};

TEST(AlignU32, RoundsUpToTheAlignment) {
  struct Case {
    std::uint32_t value;
    std::uint32_t alignment;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {0, 16, 0},           {16, 16, 16},  {17, 16, 32},
      {100, 16, 112},       {7, 1, 7},     {0x52001, 0x1000, 0x53000},
      {0xFFFFFFF0, 16, 0xFFFFFFF0},
      // No representable result: 0.
      {0xFFFFFFF1, 16, 0},  {5, 0, 0},     {0x80000001, 0x80000000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.value << " to " << c.alignment);
    EXPECT_EQ(align_u32(c.value, c.alignment), c.expected);
  }
}

TEST(LifetimesOverlap, InclusiveAtBothEnds) {
  struct Case {
    std::uint64_t a_start, a_end, b_start, b_end;
    bool expected;
  };
  const Case cases[] = {
      {0, 0, 0, 0, true},  {0, 1, 1, 2, true},  {1, 2, 0, 1, true},  {0, 0, 1, 2, false},
      {1, 2, 0, 0, false}, {0, 9, 3, 4, true},  {3, 4, 0, 9, true},
      // Backwards intervals are compared by the same rule.
      {2, 0, 0, 3, true},  {2, 0, 1, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.a_start << ".." << c.a_end << " vs " << c.b_start << ".." << c.b_end);
    EXPECT_EQ(lifetimes_overlap(c.a_start, c.a_end, c.b_start, c.b_end), c.expected);
  }
}

TEST(PlanMemory, FourTensorsShareBytesOnlyWhenTheirLifetimesAreDisjoint) {
  const Graph graph = four_tensor_graph();
  const Result<std::vector<Allocation>> planned =
      plan_memory(graph, all_on_tile_zero(graph), four_tensor_phases, CompilerOptions{});
  ASSERT_TRUE(planned.has_value()) << planned.error();
  const std::vector<Allocation> expected{
      {TensorId{0}, 0, base + 0, 112, 0, 0},
      {TensorId{1}, 0, base + 112, 64, 0, 0},
      {TensorId{2}, 0, base + 176, 48, 0, 1},
      {TensorId{3}, 0, base + 0, 48, 1, 2},
  };
  EXPECT_EQ(*planned, expected);
  EXPECT_EQ(plan_memory(graph, all_on_tile_zero(graph), four_tensor_phases, CompilerOptions{}), planned);
}

TEST(PlanMemory, DataBaseIsTheFirstCandidateEvenWhenUnaligned) {
  const Graph graph = four_tensor_graph();
  const Result<std::vector<Allocation>> planned =
      plan_memory(graph, all_on_tile_zero(graph), four_tensor_phases, window(8, 0x1000));
  ASSERT_TRUE(planned.has_value()) << planned.error();
  // A at 8..120; B bumped to 128 (past A, aligned); C past B to 192; D back at 8.
  std::vector<std::uint32_t> addresses;
  for (const Allocation& allocation : *planned) {
    addresses.push_back(allocation.address);
  }
  EXPECT_EQ(addresses, (std::vector<std::uint32_t>{8, 128, 192, 8}));
}

TEST(PlanMemory, LifetimesFollowReadsExchangesAndOutputs) {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId w = graph.input("w", {4});
  const TensorId a = graph.op("a", Add{}, {x, x}, {4}).value();
  const TensorId b = graph.op("b", Add{}, {a, w}, {4}).value();
  graph.mark_output(a);
  graph.mark_output(b);
  const std::vector<Phase> phases{compute(0), Exchange{{Transfer{0, 1, x, 16}}}, Exchange{{Transfer{0, 1, w, 16}}},
                                  compute(1), Exchange{{Transfer{0, 1, b, 16}}}};
  const Result<std::vector<Allocation>> planned = plan_memory(graph, all_on_tile_zero(graph), phases, {});
  ASSERT_TRUE(planned.has_value()) << planned.error();
  const std::vector<Allocation> expected{
      {x, 0, base + 0, 16, 0, 1},  // read at 0, carried at 1
      {w, 0, base + 16, 16, 0, 3},
      {a, 0, base + 32, 16, 0, 5},  // a graph output: one past the last phase, although read at 3
      {b, 0, base + 0, 16, 3, 5},   // two outputs live together never share bytes
  };
  EXPECT_EQ(*planned, expected);
}

TEST(PlanMemory, AnUnreadIntermediateIsLiveAtItsProducingPhase) {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId a = graph.gelu("a", x).value();
  const TensorId b = graph.gelu("b", a).value();
  const TensorId unread = graph.gelu("unread", b).value();
  const TensorId out = graph.gelu("out", b).value();
  graph.mark_output(out);
  const std::vector<Phase> phases{compute(0), compute(1), compute(2), compute(3)};
  const Result<std::vector<Allocation>> planned = plan_memory(graph, all_on_tile_zero(graph), phases, {});
  ASSERT_TRUE(planned.has_value()) << planned.error();
  const std::vector<Allocation> expected{
      {x, 0, base + 0, 16, 0, 0},
      {a, 0, base + 16, 16, 0, 1},
      {b, 0, base + 0, 16, 1, 3},
      {unread, 0, base + 16, 16, 2, 2},  // kept clear of b, which is live at phase 2
      {out, 0, base + 16, 16, 3, 4},
  };
  EXPECT_EQ(*planned, expected);
}

TEST(PlanMemory, PiecesOnOtherTilesDoNotMoveAPiece) {
  Graph graph;
  const TensorId p = graph.input("p", {4});
  const TensorId q = graph.input("q", {8});
  const TensorId r = graph.op("r", Mul{}, {p, q}, {12}).value();
  graph.mark_output(r);
  const std::vector<Layout> layouts{on_tiles(0, {0}), on_tiles(1, {1, 2}), on_tiles(2, {2, 0, 1})};
  const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, std::vector{compute(0)}, {});
  ASSERT_TRUE(planned.has_value()) << planned.error();
  const std::vector<Allocation> expected{
      {p, 0, base, 16, 0, 0},       {q, 1, base, 16, 0, 0},       {q, 2, base, 16, 0, 0},
      {r, 2, base + 16, 16, 0, 1},  {r, 0, base + 16, 16, 0, 1},  {r, 1, base + 16, 16, 0, 1},
  };
  EXPECT_EQ(*planned, expected);
}

// a and b (32 bytes each) are read at phase 0, c (32 bytes) is written at
// phase 0 and kept: all three are live together.
Graph three_live_pieces() {
  Graph graph;
  const TensorId a = graph.input("a", {8});
  const TensorId b = graph.input("b", {8});
  graph.mark_output(graph.add("c", a, b).value());
  return graph;
}

TEST(PlanMemory, MemoryErrors) {
  struct Case {
    std::string name;
    CompilerOptions options;
    std::uint32_t alignment;
    std::string expected_error;  // empty: planned
  };
  const Case cases[] = {
      {"last piece ends exactly at the limit", window(0, 96), 16, ""},
      {"last piece ends one byte past the limit", window(0, 95), 16, "tile 0 exceeds data limit allocating c"},
      {"window full after the first piece", window(0, 40), 16, "tile 0 exceeds data limit allocating b"},
      {"first candidate ends past 2^32 - 1", window(0xFFFFFFF0, 0xFFFFFFFF), 16, "address overflow"},
      // b's bump to 0xFFFFFFF0 overflows before any limit is looked at.
      {"bump ends past 2^32 - 1", window(0xFFFFFFD0, 0xFFFFFFF8), 16, "address overflow"},
      {"alignment 0", window(0, 0x1000), 0, "address overflow"},
      // Pieces of 2^31 bytes: b's bump rounds 2^31 + 16 up to 2^32.
      {"rounded bump past 2^32 - 1", window(16, 0xFFFFFFFF), 0x80000000, "address overflow"},
  };
  const Graph graph = three_live_pieces();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Layout> layouts = all_on_tile_zero(graph);
    for (Layout& layout : layouts) {
      layout.alignment = c.alignment;
    }
    const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, std::vector{compute(0)}, c.options);
    if (c.expected_error.empty()) {
      EXPECT_TRUE(planned.has_value()) << planned.error();
    } else {
      ASSERT_FALSE(planned.has_value());
      EXPECT_EQ(planned.error(), CompileError::memory(c.expected_error));
    }
  }
}

// The facts behind each memory error of MemoryErrors: a, b and c are tensors
// 0, 1 and 2 of 32 bytes each, a and b live at phase 0, c at 0 and 1.
TEST(PlanMemory, MemoryFailureNamesThePieceThatDidNotFit) {
  using Cause = MemoryFailure::Cause;
  struct Case {
    std::string name;
    CompilerOptions options;
    std::uint32_t alignment;
    std::optional<MemoryFailure> expected;
  };
  const Case cases[] = {
      {"last piece ends exactly at the limit", window(0, 96), 16, std::nullopt},
      {"last piece ends one byte past the limit", window(0, 95), 16,
       MemoryFailure{Cause::DataLimit, 0, TensorId{2}, 0, 1, 32}},
      {"window full after the first piece", window(0, 40), 16,
       MemoryFailure{Cause::DataLimit, 0, TensorId{1}, 0, 0, 32}},
      {"first candidate ends past 2^32 - 1", window(0xFFFFFFF0, 0xFFFFFFFF), 16,
       MemoryFailure{Cause::AddressOverflow, 0, TensorId{0}, 0, 0, 32}},
      {"bump ends past 2^32 - 1", window(0xFFFFFFD0, 0xFFFFFFF8), 16,
       MemoryFailure{Cause::AddressOverflow, 0, TensorId{1}, 0, 0, 32}},
      // The piece size itself fails: its bytes are the unrounded share.
      {"alignment 0", window(0, 0x1000), 0, MemoryFailure{Cause::AddressOverflow, 0, TensorId{0}, 0, 0, 32}},
      {"rounded bump past 2^32 - 1", window(16, 0xFFFFFFFF), 0x80000000,
       MemoryFailure{Cause::AddressOverflow, 0, TensorId{1}, 0, 0, 0x80000000}},
  };
  const Graph graph = three_live_pieces();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Layout> layouts{on_tiles(0, {0}, c.alignment), on_tiles(1, {0}, c.alignment),
                                      on_tiles(2, {0}, c.alignment)};
    EXPECT_EQ(memory_failure(graph, layouts, std::vector{compute(0)}, c.options), c.expected);
  }
}

TEST(PlanMemory, MemoryFailureOfAShareBeyondThirtyTwoBitsAndOfGraphErrors) {
  Graph graph;
  graph.mark_output(graph.input("big", {std::uint64_t{1} << 31}));
  const std::vector<Layout> layouts{on_tiles(0, {3, 4})};
  EXPECT_EQ(memory_failure(graph, layouts, {}, {}),
            (MemoryFailure{MemoryFailure::Cause::DataLimit, 3, TensorId{0}, 0, 0, std::uint64_t{1} << 32}));
  // A Graph error is no memory failure.
  EXPECT_EQ(memory_failure(graph, {}, {}, {}), std::nullopt);
}

TEST(PlanMemory, PiecesStackUpRightBelowTheTopOfTheAddressSpace) {
  const Graph graph = three_live_pieces();
  const Result<std::vector<Allocation>> planned =
      plan_memory(graph, all_on_tile_zero(graph), std::vector{compute(0)}, window(0xFFFFFF80, 0xFFFFFFFF));
  ASSERT_TRUE(planned.has_value()) << planned.error();
  // c is bumped past a, then past b.
  std::vector<std::uint32_t> addresses;
  for (const Allocation& allocation : *planned) {
    addresses.push_back(allocation.address);
  }
  EXPECT_EQ(addresses, (std::vector<std::uint32_t>{0xFFFFFF80, 0xFFFFFFA0, 0xFFFFFFC0}));
}

TEST(PlanMemory, ATileNamedTwiceInALayoutHoldsTwoPieces) {
  Graph graph;
  const TensorId x = graph.input("x", {4});
  const TensorId y = graph.input("y", {8});
  const std::vector<Layout> layouts{on_tiles(0, {0, 1, 0}), on_tiles(1, {1, 0})};
  const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, {}, {});
  ASSERT_TRUE(planned.has_value()) << planned.error();
  // x's share is 16 / 3 rounded up to 6 bytes, 16 once aligned; y's is 16.
  const std::vector<Allocation> expected{
      {x, 0, base, 16, 0, 0},      {x, 1, base, 16, 0, 0}, {x, 0, base + 16, 16, 0, 0},
      {y, 1, base + 16, 16, 0, 0}, {y, 0, base + 32, 16, 0, 0},
  };
  EXPECT_EQ(*planned, expected);
}

TEST(PlanMemory, TilesWithOneHistoryPartWays) {
  // a on tiles 0-3, then b on tiles 1 and 2 only, then c on all four: c sits
  // above b where b was placed and directly above a elsewhere.
  Graph graph;
  const TensorId a = graph.input("a", {16});
  const TensorId b = graph.input("b", {8});
  const TensorId c = graph.input("c", {16});
  const std::vector<Layout> layouts{on_tiles(0, {0, 1, 2, 3}), on_tiles(1, {2, 1}), on_tiles(2, {3, 2, 1, 0})};
  const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, {}, {});
  ASSERT_TRUE(planned.has_value()) << planned.error();
  const std::vector<Allocation> expected{
      {a, 0, base, 16, 0, 0},      {a, 1, base, 16, 0, 0},      {a, 2, base, 16, 0, 0},
      {a, 3, base, 16, 0, 0},      {b, 2, base + 16, 16, 0, 0}, {b, 1, base + 16, 16, 0, 0},
      {c, 3, base + 16, 16, 0, 0}, {c, 2, base + 32, 16, 0, 0}, {c, 1, base + 32, 16, 0, 0},
      {c, 0, base + 16, 16, 0, 0},
  };
  EXPECT_EQ(*planned, expected);
}

TEST(PlanMemory, AShareBeyondThirtyTwoBitsIsRefusedNotTruncated) {
  Graph graph;
  // 2^33 bytes over two tiles: 2^32 per tile, whose low 32 bits are 0.
  graph.mark_output(graph.input("big", {std::uint64_t{1} << 31}));
  const std::vector<Layout> layouts{on_tiles(0, {3, 4})};
  const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, {}, {});
  ASSERT_FALSE(planned.has_value());
  EXPECT_EQ(planned.error(), CompileError::memory("tile 3 exceeds data limit allocating big"));
}

TEST(PlanMemory, InputsThatDoNotMatchTheGraphAreGraphErrors) {
  // x, then y = gelu(x) computed at phase 0 and marked as the output.
  Graph valid;
  valid.mark_output(valid.gelu("y", valid.input("x", {4})).value());
  struct Case {
    std::string name;
    void (*spoil)(Graph&, std::vector<Layout>&, std::vector<Phase>&);
    std::string expected_error;
  };
  const Case cases[] = {
      {"compute phase names no op", [](Graph&, std::vector<Layout>&, std::vector<Phase>& phases) {
         phases.push_back(compute(5));
       }, "invalid op 5"},
      {"op input names no tensor", [](Graph& graph, std::vector<Layout>&, std::vector<Phase>&) {
         graph.ops[0].inputs.push_back(TensorId{9});
       }, "invalid op y"},
      {"op output names no tensor", [](Graph& graph, std::vector<Layout>&, std::vector<Phase>&) {
         graph.ops[0].output = TensorId{9};
       }, "invalid op y"},
      {"transfer names no tensor", [](Graph&, std::vector<Layout>&, std::vector<Phase>& phases) {
         phases.insert(phases.begin(), Exchange{{Transfer{0, 1, TensorId{9}, 16}}});
       }, "invalid tensor 9"},
      {"output names no tensor", [](Graph& graph, std::vector<Layout>&, std::vector<Phase>&) {
         graph.outputs.push_back(TensorId{9});
       }, "invalid output 9"},
      {"tensor id out of range", [](Graph& graph, std::vector<Layout>&, std::vector<Phase>&) {
         graph.tensors[1].id = TensorId{9};
       }, "invalid tensor y"},
      {"fewer layouts than tensors", [](Graph&, std::vector<Layout>& layouts, std::vector<Phase>&) {
         layouts.pop_back();
       }, "missing layout for tensor y"},
      {"layout without tiles", [](Graph&, std::vector<Layout>& layouts, std::vector<Phase>&) {
         layouts[0].tiles.clear();
       }, "layout of tensor x has no tiles"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph = valid;
    std::vector<Layout> layouts = all_on_tile_zero(valid);
    std::vector<Phase> phases{compute(0)};
    ASSERT_TRUE(plan_memory(graph, layouts, phases, {}).has_value());
    c.spoil(graph, layouts, phases);
    const Result<std::vector<Allocation>> planned = plan_memory(graph, layouts, phases, {});
    ASSERT_FALSE(planned.has_value());
    EXPECT_EQ(planned.error(), CompileError::graph(c.expected_error));
  }
}

}  // namespace
}  // namespace orvo_compiler
