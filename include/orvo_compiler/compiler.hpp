// The compiler's passes: layout selection, the exchange check, the tile SRAM
// planner and the compile pipeline that strings them together.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/schedule.hpp"

namespace orvo_compiler {

// Spreads a tensor over tiles 0..n-1, one tile per started KiB of its data,
// at least 1 and at most `tile_count`; alignment 16. A `tile_count` of 0 is a
// broken precondition and stops the process.
[[nodiscard]] Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count);

// The tensor's byte size divided by the layout's tile count, rounded up. A
// layout without tiles is a broken precondition and stops the process.
[[nodiscard]] std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout);

// Worker threads a kernel writing `tensor` uses: 6 from 96 elements, else 1.
[[nodiscard]] std::uint8_t worker_count(const Tensor& tensor);

// The operation's name as a specialization key carries it ("matmul", ...).
[[nodiscard]] std::string_view operation_name(const OpKind& kind);

// Checks one exchange epoch: no self-sends or empty transfers, and at most one
// send to each (destination tile, tensor) pair.
[[nodiscard]] Result<void> validate_transfers(std::span<const Transfer> transfers);

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

// Validates the graph; then refuses, with the Graph error "invalid op {}"
// (its name), the first operation in list order that reads its own output or
// the output of a later operation, since phases follow the list; then checks
// the options. Lays out every tensor, emits an exchange phase (when data must
// move) and a compute phase per operation, plans SRAM and computes the
// per-tile peaks. Errors of any step are passed on unchanged.
[[nodiscard]] Result<Schedule> compile(const Graph& graph, const CompilerOptions& options);

// Checks a schedule against the graph and target it claims to implement,
// independently of the passes that built it: layouts, phases, exchanges,
// kernel commands, allocations, lifetimes, peaks and tile streams. Succeeds
// for every schedule `compile` returns; otherwise the first broken invariant
// as a Graph error.
[[nodiscard]] Result<void> verify_schedule(const Graph& graph, const Schedule& schedule,
                                           const CompilerOptions& options);

}  // namespace orvo_compiler
