// Schedule records: debug renderings and the wire form of one encoded
// command.
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {
namespace {

template <class T>
std::string rendered(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

const KernelCommand tail_command{31, TensorId{2}, {TensorId{0}, TensorId{1}},
                                 SpecializationKey{"matmul", {32, 256}, 6, "tail", 16}};

TEST(ScheduleRendering, RecordsNameTheirTypeAndFields) {
  struct Case {
    std::string name;
    std::string actual;
    std::string expected;
  };
  const Case cases[] = {
      {"options", rendered(CompilerOptions{}),
       "CompilerOptions { tile_count: 64, data_base: 335872, data_limit: 917504 }"},
      {"sharding", rendered(Sharding::Columns), "Columns"},
      {"layout", rendered(Layout{TensorId{0}, {0, 1}, Sharding::Rows, 16}),
       "Layout { tensor: TensorId(0), tiles: [0, 1], sharding: Rows, alignment: 16 }"},
      {"transfer", rendered(Transfer{0, 1, TensorId{3}, 256}),
       "Transfer { source_tile: 0, destination_tile: 1, tensor: TensorId(3), bytes: 256 }"},
      {"kernel command", rendered(tail_command),
       "KernelCommand { tile: 31, output: TensorId(2), inputs: [TensorId(0), TensorId(1)], specialization: "
       "SpecializationKey { operation: \"matmul\", shape: [32, 256], worker_count: 6, role: \"tail\", "
       "alignment: 16 } }"},
      {"exchange phase", rendered(Phase{Exchange{{Transfer{0, 4, TensorId{13}, 1024}}}}),
       "Exchange { transfers: [Transfer { source_tile: 0, destination_tile: 4, tensor: TensorId(13), bytes: 1024 "
       "}] }"},
      {"empty compute phase", rendered(Phase{Compute{OpId{3}, {}}}), "Compute { op: OpId(3), commands: [] }"},
      {"allocation", rendered(Allocation{TensorId{2}, 5, 0x52000, 112, 0, 3}),
       "Allocation { tensor: TensorId(2), tile: 5, address: 335872, size: 112, live_from: 0, live_until: 3 }"},
      {"encoded command", rendered(EncodedTileCommand{{255, 0, 0, 0, 0, 0, 0, 0}}),
       "EncodedTileCommand { words: [255, 0, 0, 0, 0, 0, 0, 0] }"},
      {"schedule",
       rendered(Schedule{{Layout{TensorId{0}, {0}, Sharding::Replicated, 16}},
                         {},
                         {},
                         2,
                         {{0, 9216}, {1, 6144}}}),
       "Schedule { layouts: [Layout { tensor: TensorId(0), tiles: [0], sharding: Replicated, alignment: 16 }], "
       "phases: [], allocations: [], tile_count: 2, peak_sram: {0: 9216, 1: 6144} }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.actual, c.expected);
  }
}

TEST(ScheduleRendering, FmtMatchesTheStream) {
  const Layout layout{TensorId{7}, {0, 1, 2}, Sharding::Heads, 16};
  EXPECT_EQ(fmt::format("{}", layout),
            "Layout { tensor: TensorId(7), tiles: [0, 1, 2], sharding: Heads, alignment: 16 }");
  EXPECT_EQ(fmt::format("{}", Phase{Compute{OpId{1}, {}}}), "Compute { op: OpId(1), commands: [] }");
}

TEST(EncodedTileCommand, WireFormIsLittleEndianWordByWord) {
  const EncodedTileCommand command{{0x04030201, 0xA0B0C0D0, 0, 1, 0x100, 0xFF, 0x00010000, 0xFFFFFFFF}};
  const std::array<std::uint8_t, 32> expected{0x01, 0x02, 0x03, 0x04, 0xD0, 0xC0, 0xB0, 0xA0,  //
                                              0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  //
                                              0x00, 0x01, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00,  //
                                              0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(command.to_le_bytes(), expected);
}

}  // namespace
}  // namespace orvo_compiler
