// Layout selection: tile counts, sharding labels, per-tile shares, worker
// counts and operation names.
#include <string>

#include <gtest/gtest.h>

#include "orvo_compiler/compiler.hpp"

namespace orvo_compiler {
namespace {

Tensor make_tensor(Shape shape, TensorKind kind) {
  return Tensor{TensorId{5}, "t", DType::F32, std::move(shape), kind, std::nullopt};
}

TEST(ChooseLayout, SpreadsOneTilePerStartedKibAndLabelsTheSharding) {
  struct Case {
    Shape shape;
    TensorKind kind;
    std::uint16_t tile_count;
    std::uint16_t expected_tiles;
    Sharding expected_sharding;
    std::uint64_t expected_share;
  };
  const Case cases[] = {
      {{1}, TensorKind::Input, 64, 1, Sharding::Replicated, 4},
      {{24}, TensorKind::Intermediate, 64, 1, Sharding::Replicated, 96},
      {{256}, TensorKind::Input, 64, 1, Sharding::Replicated, 1024},
      {{257}, TensorKind::Intermediate, 64, 2, Sharding::Replicated, 514},
      {{1000}, TensorKind::Output, 64, 4, Sharding::Replicated, 1000},
      {{32, 64}, TensorKind::Input, 64, 8, Sharding::Rows, 1024},
      {{32, 64}, TensorKind::Output, 64, 8, Sharding::Rows, 1024},
      {{64, 64}, TensorKind::Weight, 64, 16, Sharding::Columns, 1024},
      {{32, 256}, TensorKind::Intermediate, 64, 32, Sharding::Rows, 1024},
      {{64, 256}, TensorKind::Weight, 64, 64, Sharding::Columns, 1024},
      {{4, 32, 32}, TensorKind::Intermediate, 64, 16, Sharding::Heads, 1024},
      {{2, 2, 2}, TensorKind::Weight, 64, 1, Sharding::Heads, 32},
      {{64}, TensorKind::Weight, 64, 1, Sharding::Replicated, 256},
      {{100000}, TensorKind::Input, 64, 64, Sharding::Replicated, 6250},
      // Needs 2^28 tiles: limited to the tile count, each share 2^32 bytes.
      {{std::uint64_t{1} << 26, 1024}, TensorKind::Intermediate, 64, 64, Sharding::Rows,
       std::uint64_t{1} << 32},
      {{32, 64}, TensorKind::Input, 1, 1, Sharding::Rows, 8192},
      {{70000}, TensorKind::Input, 3, 3, Sharding::Replicated, 93334},
      // Zero bytes (rejected by validation before compiling) still get tile 0.
      {{4, 0, 3}, TensorKind::Input, 64, 1, Sharding::Heads, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "shape " << ::testing::PrintToString(c.shape) << " kind " << c.kind
                                      << " tile_count " << c.tile_count);
    const Tensor tensor = make_tensor(c.shape, c.kind);
    const Layout layout = choose_layout(tensor, c.tile_count);
    std::vector<std::uint16_t> expected_tiles;
    for (std::uint16_t tile = 0; tile < c.expected_tiles; ++tile) {
      expected_tiles.push_back(tile);
    }
    EXPECT_EQ(layout, (Layout{TensorId{5}, expected_tiles, c.expected_sharding, 16}));
    EXPECT_EQ(local_bytes(tensor, layout), c.expected_share);
  }
}

TEST(WorkerCount, SixFromNinetySixElements) {
  EXPECT_EQ(worker_count(make_tensor({1}, TensorKind::Input)), 1);
  EXPECT_EQ(worker_count(make_tensor({95}, TensorKind::Input)), 1);
  EXPECT_EQ(worker_count(make_tensor({5, 19}, TensorKind::Intermediate)), 1);
  EXPECT_EQ(worker_count(make_tensor({96}, TensorKind::Input)), 6);
  EXPECT_EQ(worker_count(make_tensor({8, 12}, TensorKind::Intermediate)), 6);
  EXPECT_EQ(worker_count(make_tensor({2, 3, 16}, TensorKind::Weight)), 6);
}

TEST(OperationName, OneNamePerKindWhateverTheParameters) {
  struct Case {
    OpKind kind;
    std::string_view expected;
  };
  const Case cases[] = {
      {MatMul{}, "matmul"},           {Add{}, "add"},
      {Mul{}, "mul"},                 {Reshape{{8}}, "reshape"},
      {Transpose{{1, 0}}, "transpose"}, {LayerNorm{1e-5F}, "layer_norm"},
      {Softmax{1}, "softmax"},        {Gelu{}, "gelu"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(operation_name(c.kind), c.expected);
  }
}

}  // namespace
}  // namespace orvo_compiler
