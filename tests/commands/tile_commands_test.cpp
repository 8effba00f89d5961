// One tile's encoded command stream: which commands it holds, their words and
// their wire bytes; and all tiles' streams at once.
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"

namespace orvo_compiler {
namespace {

// Wire bytes in hex, a space between words.
std::string wire_text(const EncodedTileCommand& command) {
  std::string text;
  const std::array<std::uint8_t, 32> bytes = command.to_le_bytes();
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    if (index > 0 && index % 4 == 0) {
      text += ' ';
    }
    text += fmt::format("{:02x}", bytes[index]);
  }
  return text;
}

KernelCommand kernel(std::uint16_t tile, std::uint64_t output, std::vector<TensorId> inputs) {
  return KernelCommand{tile, TensorId{output}, std::move(inputs), SpecializationKey{"add", {4}, 1, "body", 16}};
}

// Tile count 4. Phase 0 sends tensor 3 (256 bytes) from tile 0 to tiles 1
// and 2; phase 1 runs operation 1 on tiles 1 and 2.
Schedule two_phase_schedule() {
  Schedule schedule;
  schedule.tile_count = 4;
  schedule.phases = {
      Exchange{{Transfer{0, 1, TensorId{3}, 256}, Transfer{0, 2, TensorId{3}, 256}}},
      Compute{OpId{1}, {kernel(1, 5, {TensorId{3}, TensorId{4}}), kernel(2, 5, {TensorId{3}, TensorId{4}})}},
  };
  return schedule;
}

const EncodedTileCommand end_command{{255, 0, 0, 0, 0, 0, 0, 0}};

TEST(TileCommands, StreamOfAReceivingTileWithItsWireBytes) {
  const Result<std::vector<EncodedTileCommand>> stream = two_phase_schedule().tile_commands(1);
  ASSERT_TRUE(stream.has_value()) << stream.error();
  const std::vector<EncodedTileCommand> expected{
      {{1, 0, 0, 1, 3, 256, 0, 0}},
      {{2, 1, 1, 5, 2, 3, 4, 0}},
      end_command,
  };
  ASSERT_EQ(*stream, expected);
  EXPECT_EQ(wire_text((*stream)[0]), "01000000 00000000 00000000 01000000 03000000 00010000 00000000 00000000");
  EXPECT_EQ(wire_text((*stream)[1]), "02000000 01000000 01000000 05000000 02000000 03000000 04000000 00000000");
  EXPECT_EQ(wire_text((*stream)[2]), "ff000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000");
}

TEST(TileCommands, EachTileGetsOnlyItsOwnShare) {
  const Schedule schedule = two_phase_schedule();
  struct Case {
    std::uint16_t tile;
    std::vector<EncodedTileCommand> expected;
  };
  const Case cases[] = {
      {0, {{{1, 0, 0, 1, 3, 256, 0, 0}}, {{1, 0, 0, 2, 3, 256, 0, 0}}, end_command}},
      {2, {{{1, 0, 0, 2, 3, 256, 0, 0}}, {{2, 1, 1, 5, 2, 3, 4, 0}}, end_command}},
      {3, {end_command}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tile);
    EXPECT_EQ(schedule.tile_commands(c.tile), c.expected);
  }
}

TEST(TileCommands, TilesFromTheTileCountOnAreOutOfRange) {
  const Schedule schedule = two_phase_schedule();
  EXPECT_EQ(schedule.tile_commands(4), std::unexpected(CompileError::graph("tile 4 is out of range")));
  EXPECT_EQ(schedule.tile_commands(65535), std::unexpected(CompileError::graph("tile 65535 is out of range")));
  EXPECT_EQ(Schedule{}.tile_commands(0), std::unexpected(CompileError::graph("tile 0 is out of range")));
}

TEST(TileCommands, InputCountsAndWideFields) {
  Schedule schedule;
  schedule.tile_count = 8;
  schedule.phases = {
      Compute{OpId{0}, {kernel(7, 2, {TensorId{0}})}},
      // A self-send is listed once; ids and phase indices keep their low 32 bits.
      Exchange{{Transfer{7, 7, TensorId{0x100000009}, 0xFFFFFFFF}}},
      Compute{OpId{0x200000001},
              {kernel(7, 9, {TensorId{1}, TensorId{0}, TensorId{2}, TensorId{3}, TensorId{4}}),
               kernel(7, 10, {})}},
  };
  const std::vector<EncodedTileCommand> expected{
      {{2, 0, 0, 2, 1, 0, 0, 0}},
      {{1, 1, 7, 7, 9, 0xFFFFFFFF, 0, 0}},
      {{2, 2, 1, 9, 5, 1, 0, 2}},
      {{2, 2, 1, 10, 0, 0, 0, 0}},
      end_command,
  };
  EXPECT_EQ(schedule.tile_commands(7), expected);
}

TEST(TileCommands, CompiledStreamsEndWithTheEndCommand) {
  Graph graph;
  const TensorId x = graph.input("X", {32, 64});
  const TensorId w = graph.weight("W", {64, 256});
  graph.mark_output(graph.matmul("Y", x, w).value());
  const Result<Schedule> schedule = compile(graph, CompilerOptions{});
  ASSERT_TRUE(schedule.has_value()) << schedule.error();

  // Tile 9 receives X's share from tile 1 in phase 0, then runs the product.
  const std::vector<EncodedTileCommand> tile_nine{{{1, 0, 1, 9, 0, 1024, 0, 0}}, {{2, 1, 0, 2, 2, 0, 1, 0}},
                                                  end_command};
  EXPECT_EQ(schedule->tile_commands(9), tile_nine);
  // Tile 40 holds only W, which moves nowhere.
  EXPECT_EQ(schedule->tile_commands(40), std::vector<EncodedTileCommand>{end_command});
  // Tile 0 sends to 8, 16 and 24, then computes.
  const Result<std::vector<EncodedTileCommand>> tile_zero = schedule->tile_commands(0);
  ASSERT_TRUE(tile_zero.has_value());
  EXPECT_EQ(tile_zero->size(), 5U);
  EXPECT_EQ(tile_zero->back(), end_command);
  EXPECT_EQ(schedule->tile_commands(0), tile_zero);
}

TEST(AllTileCommands, EveryTileInOnePass) {
  const std::vector<std::vector<EncodedTileCommand>> expected{
      {{{1, 0, 0, 1, 3, 256, 0, 0}}, {{1, 0, 0, 2, 3, 256, 0, 0}}, end_command},
      {{{1, 0, 0, 1, 3, 256, 0, 0}}, {{2, 1, 1, 5, 2, 3, 4, 0}}, end_command},
      {{{1, 0, 0, 2, 3, 256, 0, 0}}, {{2, 1, 1, 5, 2, 3, 4, 0}}, end_command},
      {end_command},
  };
  EXPECT_EQ(two_phase_schedule().all_tile_commands(), expected);
  EXPECT_TRUE(Schedule{}.all_tile_commands().empty());
}

TEST(AllTileCommands, TilesPastTheTileCountGetNoStream) {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases = {
      Exchange{{Transfer{1, 5, TensorId{3}, 64}, Transfer{6, 0, TensorId{4}, 64}, Transfer{1, 1, TensorId{5}, 8}}},
      Compute{OpId{2}, {kernel(9, 7, {}), kernel(0, 7, {})}},
  };
  const std::vector<std::vector<EncodedTileCommand>> expected{
      {{{1, 0, 6, 0, 4, 64, 0, 0}}, {{2, 1, 2, 7, 0, 0, 0, 0}}, end_command},
      {{{1, 0, 1, 5, 3, 64, 0, 0}}, {{1, 0, 1, 1, 5, 8, 0, 0}}, end_command},
  };
  EXPECT_EQ(schedule.all_tile_commands(), expected);
}

TEST(AllTileCommands, EqualsTheStreamOfEachTile) {
  const Result<Graph> graph = encoder_stack_graph(EncoderConfig{}, 3);
  ASSERT_TRUE(graph.has_value()) << graph.error();
  for (const std::uint16_t tile_count : std::vector<std::uint16_t>{1, 5, 64, 100}) {
    SCOPED_TRACE(tile_count);
    const Result<Schedule> schedule = compile(*graph, CompilerOptions{tile_count, 0, 0x1000000});
    ASSERT_TRUE(schedule.has_value()) << schedule.error();
    const std::vector<std::vector<EncodedTileCommand>> streams = schedule->all_tile_commands();
    ASSERT_EQ(streams.size(), tile_count);
    for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
      EXPECT_EQ(schedule->tile_commands(tile), streams[tile]) << "tile " << tile;
    }
  }
}

}  // namespace
}  // namespace orvo_compiler
