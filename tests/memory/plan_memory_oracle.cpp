// The tile SRAM planner in its straightforward form, kept beside the tests
// as the oracle that the fast planner must match allocation for allocation
// and error for error.
//
// Lifetimes run from the producing phase (0 for inputs and weights) to the
// last phase that reads the tensor, a graph output one index past the last
// phase. Placement, tensor by tensor in graph order and tile by tile in layout
// order: the candidate address starts at data_base; while a piece already on
// the tile overlaps the candidate both in lifetime and in bytes, the
// candidate moves to the end of that piece rounded up to the alignment, and
// the scan starts again from the first piece. Each tile's pieces are scanned
// linearly and rescanned after every bump, so the cost grows with the cube of
// the pieces on one tile in the worst case. The input checks and lifetimes
// come from the front end both planners share (src/plan_memory_inputs.hpp);
// only placement is written again here.
#include "plan_memory_oracle.hpp"

#include "memory/plan_memory_inputs.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

namespace orvo_compiler::testing_oracle {
namespace {

using detail::address_overflow;
using detail::check_inputs;
using detail::checked_align;
using detail::exceeds_data_limit;
using detail::Lifetimes;
using detail::piece_size;
using detail::max_address;
using detail::tensor_lifetimes;

// The lowest address, from data_base up through multiples of `alignment`, at
// which a piece of `size` bytes live over [live_from, live_until] clashes with
// no piece in `existing`. Fails when a candidate would end past 2^32 - 1.
Result<std::uint32_t> lowest_free_address(std::span<const Allocation> existing, std::uint64_t live_from,
                                          std::uint64_t live_until, std::uint32_t size, std::uint32_t alignment,
                                          std::uint32_t data_base) {
  std::uint64_t address = data_base;
  for (;;) {
    const std::uint64_t end = address + size;
    if (end > max_address) {
      return address_overflow();
    }
    const auto conflict = std::ranges::find_if(existing, [&](const Allocation& placed) {
      return lifetimes_overlap(live_from, live_until, placed.live_from, placed.live_until) &&
             address < std::uint64_t{placed.address} + placed.size && placed.address < end;
    });
    if (conflict == existing.end()) {
      return static_cast<std::uint32_t>(address);
    }
    const std::optional<std::uint32_t> bumped =
        checked_align(std::uint64_t{conflict->address} + conflict->size, alignment);
    if (!bumped) {
      return address_overflow();
    }
    address = *bumped;
  }
}

}  // namespace

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases, const CompilerOptions& options) {
  if (const Result<void> checked = check_inputs(graph, layouts, phases); !checked) {
    return std::unexpected(checked.error());
  }
  const Lifetimes lifetimes = tensor_lifetimes(graph, phases);

  std::map<std::uint16_t, std::vector<Allocation>> by_tile;
  std::vector<Allocation> allocations;
  for (const Tensor& tensor : graph.tensors) {
    const std::uint64_t id = tensor.id.index;
    const Layout& layout = layouts[id];
    const Result<std::uint32_t> size = piece_size(tensor, layout);
    if (!size) {
      return std::unexpected(size.error());
    }
    for (const std::uint16_t tile : layout.tiles) {
      std::vector<Allocation>& existing = by_tile[tile];
      const Result<std::uint32_t> address = lowest_free_address(
          existing, lifetimes.produced[id], lifetimes.consumed[id], *size, layout.alignment, options.data_base);
      if (!address) {
        return std::unexpected(address.error());
      }
      if (std::uint64_t{*address} + *size > options.data_limit) {
        return exceeds_data_limit(tile, tensor.name);
      }
      const Allocation allocation{tensor.id, tile, *address, *size, lifetimes.produced[id], lifetimes.consumed[id]};
      existing.push_back(allocation);
      allocations.push_back(allocation);
    }
  }
  return allocations;
}

}  // namespace orvo_compiler::testing_oracle
