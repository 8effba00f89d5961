// The check on one exchange epoch: every transfer moves at least one byte
// between two different tiles, and each tensor region on a destination tile
// is the target of at most one send.
#include <set>
#include <utility>

#include "orvo_compiler/compiler.hpp"

namespace orvo_compiler {

Result<void> validate_transfers(std::span<const Transfer> transfers) {
  // (destination tile, tensor index) pairs already targeted in this epoch.
  std::set<std::pair<std::uint16_t, std::uint64_t>> destinations;
  for (const Transfer& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return std::unexpected(CompileError::graph("invalid exchange transfer"));
    }
    if (!destinations.emplace(transfer.destination_tile, transfer.tensor.index).second) {
      return std::unexpected(CompileError::graph("multiple sends target one tensor region in an epoch"));
    }
  }
  return {};
}

}  // namespace orvo_compiler
