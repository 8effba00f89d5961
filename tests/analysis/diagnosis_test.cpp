// The memory diagnosis: the facts memory_diagnosis gathers for windows too
// small for small graphs, and the lines diagnose_memory_error words them in.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/memory.hpp"
#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace {

// x (`elements` floats, one tile per started KiB) and y = gelu(x), the
// output, in one compute phase: x is live at phase 0, y at 0 and 1.
Graph gelu_graph(std::uint64_t elements) {
  Graph graph;
  const TensorId x = graph.input("x", {elements});
  graph.mark_output(*graph.gelu("y", x));
  return graph;
}

TEST(Diagnosis, NamesTheTileThePhaseAndTheWindowThatFits) {
  // x (1 KiB, read at phase 0) and y = gelu(x) (the output) share tile 0 at
  // phase 0; a 1,536 B window holds only x.
  const Graph graph = gelu_graph(256);
  const CompilerOptions options{1, 0x1000, 0x1600};
  const Result<Schedule> failed = compile(graph, options);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), CompileError::memory("tile 0 exceeds data limit allocating y"));

  const std::vector<std::string> expected = {
      "tile 0 has a data window of 1,536 B (0x1000 to 0x1600); its live data peaks at phase 0 (compute y) with "
      "2,048 B, 512 B more than the window holds",
      "largest tensors live on tile 0 at phase 0: x 1,024 B, y 1,024 B",
      "the schedule fits a data window of 2,048 B per tile: --data-limit 0x1800 or higher",
      "no tile count fits a data window of 1,536 B: with 1 tile, as many as any tensor spreads over, the schedule "
      "still needs 2,048 B per tile",
  };
  EXPECT_EQ(diagnose_memory_error(graph, options, failed.error()), expected);
}

TEST(Diagnosis, ExplainsAFailureWithinTheWindow) {
  // On one tile: x 1 KiB live 0..0, y 1 KiB 0..1 at +1,024, z 2 KiB 1..2. At
  // phase 1 y and z need 3,072 B, the whole window, but y sits in its middle.
  Graph graph;
  const TensorId x = graph.input("x", {256});
  const Result<TensorId> y = graph.gelu("y", x);
  const Result<TensorId> z = graph.op("z", Gelu{}, {*y}, {512});
  graph.mark_output(*z);
  const CompilerOptions options{1, 0, 3072};
  const Result<Schedule> failed = compile(graph, options);
  ASSERT_FALSE(failed.has_value());
  ASSERT_EQ(failed.error(), CompileError::memory("tile 0 exceeds data limit allocating z"));

  const std::vector<std::string> expected = {
      "tile 0 has a data window of 3,072 B (0x0 to 0xC00); its live data peaks at phase 1 (compute z) with "
      "3,072 B, as much as the window holds, but placed pieces never move and the gaps between them leave no room",
      "largest tensors live on tile 0 at phase 1: z 2,048 B, y 1,024 B",
      "the schedule fits a data window of 4,096 B per tile: --data-limit 0x1000 or higher",
      // Over 2 tiles z takes 1,024 B on each, and goes where x was.
      "the fewest tiles that fit a data window of 3,072 B: --tiles 2",
  };
  EXPECT_EQ(diagnose_memory_error(graph, options, failed.error()), expected);
}

TEST(Diagnosis, SaysNothingAboutOtherErrors) {
  Graph graph;
  graph.mark_output(graph.input("x", {256}));
  EXPECT_TRUE(diagnose_memory_error(graph, CompilerOptions{}, CompileError::graph("invalid compiler options")).empty());
  // A graph the widest window cannot compile either leaves the message alone.
  EXPECT_TRUE(diagnose_memory_error(Graph{}, CompilerOptions{}, CompileError::memory("address overflow")).empty());
  EXPECT_EQ(memory_diagnosis(Graph{}, CompilerOptions{}), std::nullopt);
}

TEST(Diagnosis, ThePlannerNamesThePieceThatDidNotFit) {
  // With a 1,536 B window x goes to 0x1000..0x1400 and y, live 0..1, would
  // end at 0x1800.
  const Graph graph = gelu_graph(256);
  const Result<Schedule> wide = compile(graph, CompilerOptions{1, 0, 0xFFFFFFFF});
  ASSERT_TRUE(wide.has_value()) << wide.error();
  EXPECT_EQ(memory_failure(graph, wide->layouts, wide->phases, CompilerOptions{1, 0x1000, 0x1600}),
            (MemoryFailure{MemoryFailure::Cause::DataLimit, 0, TensorId{1}, 0, 1, 1024}));
  EXPECT_EQ(memory_failure(graph, wide->layouts, wide->phases, CompilerOptions{1, 0x1000, 0x1800}), std::nullopt);
}

TEST(Diagnosis, FactsOfWindowsTooSmall) {
  const LiveTensor x{TensorId{0}, "x", 1024};
  const LiveTensor y{TensorId{1}, "y", 1024};
  // x spreads over 1 tile (2 for 512 floats) and has the first largest piece.
  const auto advice = [](std::uint64_t window, TileCountFit fit, std::uint16_t tiles, std::uint16_t spread,
                         std::uint64_t excess, std::optional<std::uint32_t> needed) {
    return TileCountAdvice{window, fit, tiles, spread, TensorId{0}, "x", 1024, excess, needed};
  };
  const struct Case {
    const char* name;
    Graph graph;
    CompilerOptions options;
    MemoryDiagnosis expected;
  } cases[] = {
      {"the failing tile and the smallest limit", gelu_graph(256), {1, 0x1000, 0x1600},
       {0, 0x1000, 0x1600, 1536, {0, 2048}, "compute y", 512, 0, {x, y}, 0, 2048, WindowFit::Fits, 0x1800,
        advice(1536, TileCountFit::NoneFits, 0, 1, 0, 2048)}},
      // x goes to 0x1008, y is rounded up to 0x1410: from this base the pieces
      // sit 8 B higher than from an aligned one.
      {"a base not aligned for the layouts", gelu_graph(256), {1, 0x1008, 0x1600},
       {0, 0x1008, 0x1600, 1528, {0, 2048}, "compute y", 520, 0, {x, y}, 0, 2048, WindowFit::BaseNotAligned, 0,
        advice(1528, TileCountFit::NoneFits, 0, 1, 0, 2048)}},
      // x and y take 1 KiB on each of tiles 0 and 1; the overflow names no
      // tile, and of the two equally full tiles the lower is diagnosed.
      {"an overflow on equally full tiles", gelu_graph(512), {2, 0xFFFFFF00, 0xFFFFFFFF},
       {0, 0xFFFFFF00, 0xFFFFFFFF, 255, {0, 2048}, "compute y", 1793, 0, {x, y}, 0, 2048,
        WindowFit::PastAddressSpace, 0, advice(255, TileCountFit::PieceTooLarge, 0, 2, 769, std::nullopt)}},
      // A window that holds everything: the diagnosis still describes it.
      {"no failure", gelu_graph(256), {1, 0x1000, 0x2000},
       {0, 0x1000, 0x2000, 4096, {0, 2048}, "compute y", 0, 2048, {x, y}, 0, 2048, WindowFit::Fits, 0x1800,
        advice(4096, TileCountFit::Fits, 1, 1, 0, std::nullopt)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(memory_diagnosis(c.graph, c.options), c.expected);
  }
}

TEST(Diagnosis, LinesOfEachKindOfFact) {
  std::vector<LiveTensor> five;
  for (std::uint64_t id = 0; id < 5; ++id) {
    five.push_back(LiveTensor{TensorId{id}, "w" + std::to_string(id), 2048});
  }
  const struct Case {
    const char* name;
    MemoryDiagnosis diagnosis;
    std::vector<std::string> expected;
  } cases[] = {
      {"room left but no gap wide enough, more tensors than listed",
       {3, 0x100, 0x4100, 16384, {2, 12288}, "exchange for q", 0, 4096, five, 2, 20480, WindowFit::Fits, 0x5100},
       {"tile 3 has a data window of 16,384 B (0x100 to 0x4100); its live data peaks at phase 2 (exchange for q) "
        "with 12,288 B, 4,096 B less than the window, but placed pieces never move and the gaps between them "
        "leave no room",
        "largest tensors live on tile 3 at phase 2: w0 2,048 B, w1 2,048 B, w2 2,048 B, w3 2,048 B, w4 2,048 B, "
        "and 2 more",
        "the schedule fits a data window of 20,480 B per tile: --data-limit 0x5100 or higher"}},
      {"past the address space",
       {0, 0xFFFFFFF0, 0xFFFFFFFF, 15, {0, 32}, "compute c", 17, 0, {{TensorId{2}, "c", 32}}, 0, 32,
        WindowFit::PastAddressSpace, 0},
       {"tile 0 has a data window of 15 B (0xFFFFFFF0 to 0xFFFFFFFF); its live data peaks at phase 0 (compute c) "
        "with 32 B, 17 B more than the window holds",
        "largest tensors live on tile 0 at phase 0: c 32 B",
        "the schedule needs a data window of 32 B per tile, which does not fit between data base 0xFFFFFFF0 and the "
        "end of the 32-bit address space"}},
      {"a base not aligned",
       {0, 0x1008, 0x1600, 1528, {0, 2048}, "compute y", 520, 0, {{TensorId{1}, "y", 1024}}, 1, 2048,
        WindowFit::BaseNotAligned, 0},
       {"tile 0 has a data window of 1,528 B (0x1008 to 0x1600); its live data peaks at phase 0 (compute y) with "
        "2,048 B, 520 B more than the window holds",
        "largest tensors live on tile 0 at phase 0: y 1,024 B, and 1 more",
        "the schedule needs a data window of about 2,048 B per tile"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(diagnosis_lines(c.diagnosis), c.expected);
  }
}

}  // namespace
}  // namespace orvo_compiler
