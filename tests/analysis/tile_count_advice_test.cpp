// The fewest tiles that fit a data window: counts worked out by hand from the
// one-tile-per-KiB spread, pieces past the window, workloads that need more
// than 32 bits at the caller's count, and the line each kind of advice reads as.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/views.hpp"

namespace orvo_compiler {
namespace {

// x (`elements` floats) and y = gelu(x), the output: both live at phase 0.
// (Named apart from the diagnosis tests' helper: the folder builds as one unit.)
Graph gelu_of(std::uint64_t elements) {
  Graph graph;
  const TensorId x = graph.input("x", {elements});
  graph.mark_output(*graph.gelu("y", x));
  return graph;
}

// One piece of advice, field by field. (Brace-initialising the struct inside
// an array of cases makes GCC 12 at -O3 warn that its string may be used
// uninitialised.)
TileCountAdvice advice(std::uint64_t window, TileCountFit fit, std::uint16_t tile_count, std::uint16_t spread,
                       TensorId largest, const char* name, std::uint64_t piece, std::uint64_t excess,
                       std::optional<std::uint32_t> needed) {
  TileCountAdvice result;
  result.window_bytes = window;
  result.fit = fit;
  result.tile_count = tile_count;
  result.spread_tiles = spread;
  result.largest_tensor = largest;
  result.largest_name = name;
  result.largest_piece_bytes = piece;
  result.piece_excess_bytes = excess;
  result.spread_needed_bytes = needed;
  return result;
}

TEST(TileCountAdvice, FewestTilesOrWhyNone) {
  const struct Case {
    const char* name;
    Graph graph;
    CompilerOptions options;
    TileCountAdvice expected;
  } cases[] = {
      // x is 10 KiB, over at most 10 tiles. With T tiles x and y each take
      // ceil(10,240 / T) rounded to 16 B: 2,048 + 2,048 at 5 tiles fill the
      // window, 2,560 + 2,560 at 4 do not.
      {"more tiles than given", gelu_of(2560), {1, 0, 4096},
       advice(4096, TileCountFit::Fits, 5, 10, TensorId{0}, "x", 1024, 0, std::nullopt)},
      // The caller's count is not used: 1 tile already fits.
      {"fewer tiles than given", gelu_of(256), {64, 0x1000, 0x2000},
       advice(4096, TileCountFit::Fits, 1, 1, TensorId{0}, "x", 1024, 0, std::nullopt)},
      // x spreads over 1 tile only, where x and y need 2,048 B.
      {"spread no further", gelu_of(256), {1, 0x1000, 0x1600},
       advice(1536, TileCountFit::NoneFits, 0, 1, TensorId{0}, "x", 1024, 0, 2048)},
      // 2 KiB of x on its 2 tiles: 1,024 B pieces, 769 B past 255.
      {"a piece past the window", gelu_of(512), {2, 0xFFFFFF00, 0xFFFFFFFF},
       advice(255, TileCountFit::PieceTooLarge, 0, 2, TensorId{0}, "x", 1024, 769, std::nullopt)},
      // 128 MiB of x would take 131,072 tiles; over 65,535 each holds
      // ceil(134,217,728 / 65,535) = 2,049 B, allocated as 2,064.
      {"past the compiler's limit", gelu_of(std::uint64_t{1} << 25), {64, 0, 2048},
       advice(2048, TileCountFit::PieceTooLarge, 0, 65535, TensorId{0}, "x", 2064, 16, std::nullopt)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tile_count_advice(c.graph, c.options), c.expected);
  }
}

TEST(TileCountAdvice, TheCountGivenCompilesAndOneFewerDoesNot) {
  // The default encoder in a 12 KiB window; and 4 GiB of x, which no 32-bit
  // window holds on 1 tile: over T tiles x and y each take 2^32 / T rounded
  // up to 16 B, which fits 581,632 B twice from 14,769 tiles on.
  const Result<Graph> encoder = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(encoder.has_value()) << encoder.error();
  const struct Case {
    const char* name;
    Graph graph;
    CompilerOptions options;
  } cases[] = {
      {"the encoder in 12 KiB", *encoder, {64, 0x52000, 0x55000}},
      {"4 GiB of x", gelu_of(std::uint64_t{1} << 30), {1, 0x52000, 0xE0000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<TileCountAdvice> advice = tile_count_advice(c.graph, c.options);
    ASSERT_TRUE(advice.has_value());
    ASSERT_EQ(advice->fit, TileCountFit::Fits);
    ASSERT_GT(advice->tile_count, 1);
    const CompilerOptions fewest{advice->tile_count, c.options.data_base, c.options.data_limit};
    EXPECT_TRUE(compile(c.graph, fewest).has_value());
    const CompilerOptions one_fewer{static_cast<std::uint16_t>(advice->tile_count - 1), c.options.data_base,
                                    c.options.data_limit};
    EXPECT_FALSE(compile(c.graph, one_fewer).has_value());
  }
}

TEST(TileCountAdvice, MoreThanThirtyTwoBitsOnTheCallersTiles) {
  // 4 GiB of x on 1 tile: the share alone passes 32 bits, so there is no
  // diagnosis of the window, only the advice.
  const Graph graph = gelu_of(std::uint64_t{1} << 30);
  const CompilerOptions options{1, 0x52000, 0xE0000};
  const Result<Schedule> failed = compile(graph, options);
  ASSERT_FALSE(failed.has_value());
  ASSERT_EQ(failed.error().kind, CompileError::Kind::Memory);
  EXPECT_EQ(memory_diagnosis(graph, options), std::nullopt);
  EXPECT_EQ(diagnose_memory_error(graph, options, failed.error()),
            std::vector<std::string>{"the fewest tiles that fit a data window of 581,632 B: --tiles 14769"});
}

TEST(TileCountAdvice, NoAdviceWithoutAValidGraphAndWindow) {
  // y reads z, which a later operation computes: compile refuses the order.
  Graph misordered;
  const TensorId x = misordered.input("x", {256});
  misordered.mark_output(*misordered.gelu("y", x));
  const TensorId z = *misordered.gelu("z", x);
  misordered.ops[0].inputs = {z};
  ASSERT_EQ(compile(misordered, CompilerOptions{}).error(), CompileError::graph("invalid op y"));

  const struct Case {
    const char* name;
    Graph graph;
    CompilerOptions options;
  } cases[] = {
      {"no outputs", Graph{}, {}},
      {"an empty window", gelu_of(256), {1, 0x1000, 0x1000}},
      {"operations out of order", misordered, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tile_count_advice(c.graph, c.options), std::nullopt);
  }
}

TEST(TileCountAdvice, LinesOfEachKindOfAdvice) {
  const struct Case {
    const char* name;
    TileCountAdvice advice;
    std::string expected;
  } cases[] = {
      {"fits", advice(4096, TileCountFit::Fits, 5, 10, TensorId{0}, "x", 1024, 0, std::nullopt),
       "the fewest tiles that fit a data window of 4,096 B: --tiles 5"},
      {"a piece too large at the compiler's limit",
       advice(2048, TileCountFit::PieceTooLarge, 0, 65535, TensorId{3}, "w", 2064, 16, std::nullopt),
       "no tile count fits a data window of 2,048 B: with 65,535 tiles, the most the compiler takes, a piece of w "
       "still takes 2,064 B, 16 B more than the window holds"},
      {"a piece too large on the only tile",
       advice(255, TileCountFit::PieceTooLarge, 0, 1, TensorId{0}, "x", 1024, 769, std::nullopt),
       "no tile count fits a data window of 255 B: with 1 tile, as many as any tensor spreads over, a piece of x "
       "still takes 1,024 B, 769 B more than the window holds"},
      {"pieces that fit but not together",
       advice(2048, TileCountFit::NoneFits, 0, 64, TensorId{0}, "input", 1024, 0, 9216),
       "no tile count fits a data window of 2,048 B: with 64 tiles, as many as any tensor spreads over, the "
       "schedule still needs 9,216 B per tile"},
      {"past 32 bits even spread out",
       advice(2048, TileCountFit::NoneFits, 0, 65535, TensorId{0}, "input", 1024, 0, std::nullopt),
       "no tile count fits a data window of 2,048 B: with 65,535 tiles, the most the compiler takes, the schedule "
       "still needs more than the 32-bit address space holds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tile_advice_line(c.advice), c.expected);
  }
}

}  // namespace
}  // namespace orvo_compiler
