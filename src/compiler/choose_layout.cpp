// Layout selection: how many tiles hold a tensor and with which sharding
// label, each tile's byte share, and the kernel parameters taken from a
// tensor or an operation kind.
#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

#include "support/check.hpp"
#include "orvo_compiler/compiler.hpp"

namespace orvo_compiler {
namespace {

// One tile per started KiB of tensor data.
constexpr std::uint64_t bytes_per_tile_step = 1024;
constexpr std::uint32_t layout_alignment = 16;
// Outputs with at least this many elements run on several workers.
constexpr std::uint64_t worker_threshold = 96;
constexpr std::uint8_t workers_small = 1;
constexpr std::uint8_t workers_large = 6;

// Element count times element size; wraps only for shapes that validation
// rejects as too large.
std::uint64_t tensor_bytes(const Tensor& tensor) { return tensor.elements() * size(tensor.dtype); }

std::uint64_t ceil_div(std::uint64_t value, std::uint64_t divisor) {
  return value / divisor + (value % divisor == 0 ? 0 : 1);
}

Sharding choose_sharding(const Tensor& tensor) {
  const std::size_t rank = tensor.shape.size();
  if (tensor.kind == TensorKind::Weight && rank == 2) {
    return Sharding::Columns;
  }
  if (rank >= 3) {
    return Sharding::Heads;
  }
  if (rank == 2) {
    return Sharding::Rows;
  }
  return Sharding::Replicated;
}

}  // namespace

Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count) {
  detail::require(tile_count >= 1, "choose_layout needs a tile count of at least 1");
  const std::uint64_t needed = ceil_div(tensor_bytes(tensor), bytes_per_tile_step);
  const auto count = static_cast<std::uint16_t>(std::clamp<std::uint64_t>(needed, 1, tile_count));
  std::vector<std::uint16_t> tiles(count);
  std::iota(tiles.begin(), tiles.end(), std::uint16_t{0});
  return Layout{tensor.id, std::move(tiles), choose_sharding(tensor), layout_alignment};
}

std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout) {
  detail::require(!layout.tiles.empty(), "local_bytes needs a layout with at least one tile");
  return ceil_div(tensor_bytes(tensor), layout.tiles.size());
}

std::uint8_t worker_count(const Tensor& tensor) {
  return tensor.elements() >= worker_threshold ? workers_large : workers_small;
}

std::string_view operation_name(const OpKind& kind) { return op_kind_info(kind).operation; }

}  // namespace orvo_compiler
