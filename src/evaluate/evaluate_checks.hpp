// The checks `evaluate` and a prepared evaluation share, so that both refuse
// the same graphs and values with the same texts.
#pragma once

#include <optional>
#include <vector>

#include "orvo_compiler/error.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"

namespace orvo_compiler::detail {

// The operation that produces each tensor, if any, by tensor index.
[[nodiscard]] std::vector<std::optional<OpId>> producers(const Graph& graph);

// Every operation reads sources and earlier outputs only, has its kind's
// number of inputs, and shapes and types its kind's rule gives; the first
// that does not fails with "invalid op {name}" or its builder's error.
[[nodiscard]] Result<void> check_ops(const Graph& graph, const std::vector<std::optional<OpId>>& producer);

// Each value is for a tensor no operation produces, of its tensor's element
// type and count; fails with evaluate's texts. Values may be left out.
[[nodiscard]] Result<void> check_given(const Graph& graph, const TensorValues& values,
                                       const std::vector<std::optional<OpId>>& producer);

// Values are given for exactly the tensors no operation produces, each of
// its tensor's element type and count; fails with evaluate's texts. A tensor
// that `bound` (checked before) holds a value for may be left out of `values`.
[[nodiscard]] Result<void> check_values(const Graph& graph, const TensorValues& values,
                                        const std::vector<std::optional<OpId>>& producer,
                                        const TensorValues& bound = TensorValues{});

}  // namespace orvo_compiler::detail
