// Evaluation at import time of the operators whose inputs are all known:
// shape arithmetic (Shape, Gather, Concat, int64 Add/Sub/Mul/Div), data
// movement (Slice, Split, Reshape, Transpose, Unsqueeze, Squeeze, Expand),
// Cast, Constant, Range, ConstantOfShape, Equal and Where.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "onnx/model.hpp"
#include "onnx/shape_rules.hpp"
#include "orvo_compiler/error.hpp"

namespace orvo_compiler::onnx_import {

// Whether `op_type` is folded when its inputs are known (Shape needs only
// its input's dims; Constant and ConstantOfShape need nothing at run time).
bool is_foldable(std::string_view op_type);
// Whether `op_type` is only ever folded: a run-time input is an error.
bool is_fold_only(std::string_view op_type);

// The node's outputs. Integer arithmetic wraps modulo 2^64 and Div truncates
// towards zero; float arithmetic is IEEE binary32. A result larger than 2^24
// elements and than all inputs together is refused, so a small model cannot
// ask for unbounded memory.
[[nodiscard]] Result<std::vector<Constant>> evaluate_constant(const Node& node, std::span<const Operand> operands);

// The value of a Constant node.
[[nodiscard]] Result<Constant> constant_node_value(const Node& node);

// `constant` copied through a strided view: output element (i0, i1, ...)
// of `dims` reads source element offset + i0 * strides[0] + ...
Constant strided_copy(const Constant& constant, std::int64_t offset, const Dims& dims, const Dims& strides);
// Row-major strides of `dims`.
Dims row_strides(const Dims& dims);

}  // namespace orvo_compiler::onnx_import
