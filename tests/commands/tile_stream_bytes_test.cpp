// A tile's stream in wire form: golden bytes, word by word little-endian, one
// command after another, and the out-of-range refusal.
#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "orvo_compiler/commands.hpp"

namespace orvo_compiler {
namespace {

// Hex bytes, a space after every four.
std::string hex_words(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    if (index > 0 && index % 4 == 0) {
      text += ' ';
    }
    text += fmt::format("{:02x}", bytes[index]);
  }
  return text;
}

// Tile count 2. Phase 0 sends tensor 2^32 + 7 (0x01020304 bytes) from tile 1
// to tile 0; phase 1 runs op 2 on tile 0, writing tensor 9 from four inputs.
Schedule two_tile_schedule() {
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases = {
      Exchange{{Transfer{1, 0, TensorId{0x100000007}, 0x01020304}}},
      Compute{OpId{2},
              {KernelCommand{0, TensorId{9}, {TensorId{1}, TensorId{2}, TensorId{3}, TensorId{4}}, {}}}},
  };
  return schedule;
}

TEST(TileStreamBytes, CommandsInStreamOrderEachWordLittleEndian) {
  struct Case {
    std::uint16_t tile;
    std::string expected;
  };
  const Case cases[] = {
      {0,
       "01000000 00000000 01000000 00000000 07000000 04030201 00000000 00000000 "
       "02000000 01000000 02000000 09000000 04000000 01000000 02000000 03000000 "
       "ff000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000"},
      {1,
       "01000000 00000000 01000000 00000000 07000000 04030201 00000000 00000000 "
       "ff000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000"},
  };
  const Schedule schedule = two_tile_schedule();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tile);
    const Result<std::vector<std::uint8_t>> bytes = tile_stream_bytes(schedule, c.tile);
    ASSERT_TRUE(bytes.has_value()) << bytes.error();
    EXPECT_EQ(hex_words(*bytes), c.expected);
  }
}

TEST(TileStreamBytes, RefusesTilesFromTheTileCountOn) {
  EXPECT_EQ(tile_stream_bytes(two_tile_schedule(), 2), std::unexpected(CompileError::graph("tile 2 is out of range")));
  EXPECT_EQ(tile_stream_bytes(Schedule{}, 0), std::unexpected(CompileError::graph("tile 0 is out of range")));
}

}  // namespace
}  // namespace orvo_compiler
