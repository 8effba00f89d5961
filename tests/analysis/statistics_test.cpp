// Schedule statistics: runs of equal peak, live bytes per phase and their
// peaks, the highest of them over all tiles, and the counts of the default
// encoder.
#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

TEST(Statistics, PeakRunsGroupEqualNeighboursAndTilesWithoutData) {
  Schedule schedule;
  schedule.tile_count = 6;
  schedule.peak_sram = {{0, 96}, {1, 96}, {2, 48}, {4, 48}, {5, 48}};
  const std::vector<TileRun> expected = {
      {0, 1, 96},
      {2, 2, 48},
      {3, 3, std::nullopt},
      {4, 5, 48},
  };
  EXPECT_EQ(peak_runs(schedule), expected);
}

// One tile, alignment 16: A 112 B live 0..0, B 64 B 0..0, C 48 B 0..1,
// D 48 B 1..2, and a piece on another tile that must not count.
Schedule small_schedule() {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases = {Exchange{}, Exchange{}, Exchange{}};
  schedule.allocations = {
      {TensorId{0}, 0, 0, 112, 0, 0}, {TensorId{1}, 0, 112, 64, 0, 0}, {TensorId{2}, 0, 176, 48, 0, 1},
      {TensorId{3}, 0, 0, 48, 1, 2},  {TensorId{4}, 1, 0, 4096, 0, 3},
  };
  return schedule;
}

TEST(Statistics, LivePeakIsTheMostBytesLiveAtOnePhase) {
  const Schedule schedule = small_schedule();
  // Phase 0: A + B + C = 224; phase 1: C + D = 96; phase 2: D = 48.
  EXPECT_EQ(live_peak(schedule, 0), (LivePeak{0, 224}));
  // The other tile's piece is live up to phase 3, one past the last phase.
  EXPECT_EQ(live_peak(schedule, 1), (LivePeak{0, 4096}));
  const std::vector<LivePeak> all = live_peaks(schedule);
  EXPECT_EQ(all, (std::vector<LivePeak>{{0, 224}, {0, 4096}}));

  const std::vector<Allocation> live = live_allocations(schedule, 0, 1);
  ASSERT_EQ(live.size(), 2U);
  EXPECT_EQ(live[0].tensor, TensorId{2});
  EXPECT_EQ(live[1].tensor, TensorId{3});
}

TEST(Statistics, LiveBytesPerPhaseRunFromZeroToOnePastTheLastPhase) {
  // Two phases, so indices 0..2, all on tile 0 unless said otherwise.
  Schedule odd_lifetimes;
  odd_lifetimes.tile_count = 2;
  odd_lifetimes.phases = {Exchange{}, Exchange{}};
  odd_lifetimes.allocations = {
      {TensorId{0}, 0, 0, 16, 0, 5},    // reaches past index 2: counts up to it
      {TensorId{1}, 0, 16, 32, 2, 1},   // runs backwards: never live
      {TensorId{2}, 0, 48, 64, 7, 9},   // starts past index 2: never live
      {TensorId{3}, 0, 112, 128, 1, 1},
      {TensorId{4}, 1, 0, 256, 1, 2},
  };
  const struct Case {
    const char* name;
    Schedule schedule;
    std::uint16_t tile;
    std::vector<std::uint64_t> expected;
  } cases[] = {
      {"A+B+C, C+D, D, nothing after the last phase", small_schedule(), 0, {224, 96, 48, 0}},
      {"live through the end", small_schedule(), 1, {4096, 4096, 4096, 4096}},
      {"a tile holding nothing", small_schedule(), 5, {0, 0, 0, 0}},
      {"lifetimes past the end and backwards", odd_lifetimes, 0, {16, 144, 16}},
      {"no phases: only index 0", Schedule{{}, {}, {{TensorId{0}, 0, 0, 80, 0, 0}}, 1, {}}, 0, {80}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(live_bytes(c.schedule, c.tile), c.expected);
  }
}

// Pieces of `bytes` on each tile, all live over phases 0..1 of two.
Schedule tiles_holding(std::vector<std::uint32_t> bytes) {
  Schedule schedule;
  schedule.tile_count = static_cast<std::uint16_t>(bytes.size());
  schedule.phases = {Exchange{}, Exchange{}};
  for (std::size_t tile = 0; tile < bytes.size(); ++tile) {
    if (bytes[tile] != 0) {
      schedule.allocations.push_back({TensorId{tile}, static_cast<std::uint16_t>(tile), 0, bytes[tile], 0, 1});
    }
  }
  return schedule;
}

TEST(Statistics, MaxLiveBoundPicksTheFullestTileTheLowestOnATie) {
  // Tile 0 peaks at phase 1 with 96 B (64 B live 1..1 beside 32 B live 0..2),
  // tile 1 at phase 0 with 96 B: equal bytes, so tile 0 wins.
  Schedule tie;
  tie.tile_count = 2;
  tie.phases = {Exchange{}, Exchange{}};
  tie.allocations = {
      {TensorId{0}, 0, 0, 32, 0, 2},
      {TensorId{1}, 0, 32, 64, 1, 1},
      {TensorId{2}, 1, 0, 96, 0, 0},
  };
  const struct Case {
    const char* name;
    Schedule schedule;
    LiveBound expected;
  } cases[] = {
      {"equal peaks: the lower tile", tie, {0, {1, 96}}},
      {"equal peaks after an empty tile", tiles_holding({0, 64, 64}), {1, {0, 64}}},
      {"a later tile higher", tiles_holding({64, 48, 80, 80}), {2, {0, 80}}},
      {"no data: tile 0 with nothing live", tiles_holding({0, 0, 0}), {0, {0, 0}}},
      {"no tiles", Schedule{}, {0, {0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(max_live_bound(c.schedule), c.expected);
  }
}

TEST(Statistics, DefaultEncoderFigures) {
  const Result<Graph> graph = encoder_graph(EncoderConfig{});
  ASSERT_TRUE(graph.has_value()) << graph.error();
  const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();

  ScheduleStatistics expected;
  expected.tensors = 22;
  expected.operations = 15;
  expected.phases = 17;
  expected.exchange_phases = 2;
  expected.compute_phases = 15;
  expected.transfers = 4 + 24;
  expected.transfer_bytes = 28 * 1024;
  expected.kernel_commands = 160;
  expected.allocations = 360;
  // At phase 1 (q) tile 0 holds the input, the six weights, norm1 and q.
  expected.worst_tile = WorstTile{0, 9216, LivePeak{1, 9 * 1024}};
  EXPECT_EQ(schedule_statistics(*graph, *schedule), expected);

  EXPECT_EQ(phase_description(*graph, *schedule, 6), "compute attention_softmax");
  EXPECT_EQ(phase_description(*graph, *schedule, 7), "exchange for attention_context");
  EXPECT_EQ(phase_description(*graph, *schedule, 17), "after the last phase");
}

// Pieces live at once never overlap and lie in the window, so at no phase can
// a tile's live bytes exceed its peak SRAM.
TEST(Statistics, LiveBytesNeverExceedThePeakOnCompiledStacks) {
  for (const std::uint64_t layers : {std::uint64_t{1}, std::uint64_t{3}}) {
    SCOPED_TRACE(::testing::Message() << layers << " layers");
    const Result<Graph> graph = encoder_stack_graph(EncoderConfig{}, layers);
    ASSERT_TRUE(graph.has_value()) << graph.error();
    const Result<Schedule> schedule = compile(*graph, CompilerOptions{});
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    for (const auto& [tile, peak] : schedule->peak_sram) {
      const std::vector<std::uint64_t> bytes = live_bytes(*schedule, tile);
      ASSERT_EQ(bytes.size(), schedule->phases.size() + 1);
      for (std::size_t phase = 0; phase < bytes.size(); ++phase) {
        EXPECT_LE(bytes[phase], peak) << "tile " << tile << ", phase " << phase;
      }
    }
    EXPECT_LE(max_live_bound(*schedule).live.bytes, schedule_statistics(*graph, *schedule).worst_tile->peak_bytes);
  }
}

}  // namespace
}  // namespace orvo_compiler
