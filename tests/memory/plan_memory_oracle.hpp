// The straightforward tile SRAM planner: a linear rescan of a tile's pieces
// after every bump. Slow, obviously right, and the reference the fast planner
// is compared with in the tests and benchmarks.
#pragma once

#include <span>
#include <vector>

#include "orvo_compiler/memory.hpp"

namespace orvo_compiler::testing_oracle {

// Same contract, results and error texts as `orvo_compiler::plan_memory`.
[[nodiscard]] Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                                          std::span<const Phase> phases,
                                                          const CompilerOptions& options);

}  // namespace orvo_compiler::testing_oracle
