// The compiler's passes: layout selection, the exchange check and the compile
// pipeline that strings them together with the SRAM planner (memory.hpp).
#pragma once

#include <cstdint>
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

// Validates the graph; then refuses, with the Graph error "invalid op {}"
// (its name), the first operation in list order that reads its own output or
// the output of a later operation, since phases follow the list; then checks
// the options. Lays out every tensor, emits an exchange phase (when data must
// move) and a compute phase per operation, plans SRAM and computes the
// per-tile peaks. Errors of any step are passed on unchanged.
[[nodiscard]] Result<Schedule> compile(const Graph& graph, const CompilerOptions& options);

}  // namespace orvo_compiler
