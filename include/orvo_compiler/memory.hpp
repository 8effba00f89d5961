// The tile SRAM planner: where every tensor piece lives on every tile of its
// layout and for which phases, the arithmetic it rests on, and the facts
// behind a piece that does not fit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {

// Whether two inclusive phase intervals share at least one index.
[[nodiscard]] bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end, std::uint64_t b_start,
                                     std::uint64_t b_end);

// The smallest multiple of `alignment` not below `value`; 0 when `alignment`
// is 0 or that multiple lies past 2^32 - 1 (the planner reports both cases as
// "address overflow").
[[nodiscard]] std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment);

// Places every tensor piece on every tile of its layout at the lowest address
// that clashes with no piece live at the same time. Fails with a Memory error
// when a piece does not fit, and with a Graph error for ids or layouts that do
// not match the graph.
[[nodiscard]] Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                                          std::span<const Phase> phases,
                                                          const CompilerOptions& options);

// The piece plan_memory could not place, as data: the tile and tensor it was
// placing, the tensor's lifetime and the piece's bytes. When the share itself
// cannot become a piece (past 32 bits, or once rounded to the alignment) the
// tile is the layout's first and the bytes are the unrounded share. A
// DataLimit failure is the error "tile {tile} exceeds data limit allocating
// {tensor's name}"; an AddressOverflow is "address overflow", naming no tile.
struct MemoryFailure {
  enum class Cause : std::uint8_t { DataLimit, AddressOverflow };

  Cause cause = Cause::DataLimit;
  std::uint16_t tile = 0;
  TensorId tensor;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
  std::uint64_t bytes = 0;

  friend bool operator==(const MemoryFailure&, const MemoryFailure&) = default;
};

// The facts behind the Memory error plan_memory returns for the same inputs;
// empty when plan_memory succeeds or fails with a Graph error.
[[nodiscard]] std::optional<MemoryFailure> memory_failure(const Graph& graph, std::span<const Layout> layouts,
                                                          std::span<const Phase> phases,
                                                          const CompilerOptions& options);

}  // namespace orvo_compiler
