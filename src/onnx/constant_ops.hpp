// Evaluation at import time of the operators whose inputs are all known: the
// entry that finds the operator's folding in the registry, and the helpers
// the operators' folding rules share (strided copies, broadcasts, limits).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "onnx/model.hpp"
#include "onnx/shape_rules.hpp"
#include "orvo_compiler/error.hpp"

namespace orvo_compiler::onnx_import {

// Folding may create at most this many elements beyond what its inputs hold.
inline constexpr std::uint64_t largest_new_constant = std::uint64_t{1} << 24;

// The node's outputs, by its operator's folding rule at `opset`; fails for an
// operator the registry does not fold and for inputs of a type the importer
// does not read. Integer arithmetic wraps modulo 2^64 and Div truncates
// towards zero; float arithmetic is IEEE binary32. A result larger than 2^24
// elements and than all inputs together is refused, so a small model cannot
// ask for unbounded memory.
[[nodiscard]] Result<std::vector<Constant>> evaluate_constant(const Node& node, std::span<const Operand> operands,
                                                              std::int64_t opset);

// The value of a Constant node.
[[nodiscard]] Result<Constant> constant_node_value(const Node& node);

// `constant` copied through a strided view: output element (i0, i1, ...)
// of `dims` reads source element offset + i0 * strides[0] + ...
Constant strided_copy(const Constant& constant, std::int64_t offset, const Dims& dims, const Dims& strides);
// Row-major strides of `dims`.
Dims row_strides(const Dims& dims);
// `source` broadcast to `target` (numpy's alignment).
Constant broadcast_constant(const Constant& source, const Dims& target);
// An integer tensor (INT64 unless told).
Constant integer_tensor(Dims dims, std::vector<std::int64_t> values, std::int32_t data_type = int64_type);
// The value of known input `index`.
const Constant& known_value(std::span<const Operand> operands, std::size_t index);
// Refuses a folded result of `dims` that would be both larger than
// largest_new_constant elements and larger than the inputs it comes from.
[[nodiscard]] Result<void> check_growth(const Node& node, const Dims& dims, std::span<const Operand> operands);

}  // namespace orvo_compiler::onnx_import
